// What the fuzz targets share: the process-wide library on a simulated device
// and a test clock, scratch files, and a check that stops the run.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "link/channel_packet.h"
#include "sim/manual_clock.h"
#include "sim/sim_device.h"

namespace zqk::fuzz {

// A finding: libFuzzer keeps the input that led here and stops.
#define ZQK_FUZZ_CHECK(condition)                                                            \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// A device-lock name of this process alone (fuzz jobs run side by side and
// must not wait for each other's lock), removed when the process ends.
std::string FuzzLockName(const char* Purpose);

// The process-wide library rebuilt on Device and Clock for the length of one
// input; a device-less library afterwards, so that nothing refers to them.
class SimLibrary {
public:
    SimLibrary(sim::SimDevice& Device, sim::ManualClock& Clock);
    ~SimLibrary();
    SimLibrary(const SimLibrary&) = delete;
    SimLibrary& operator=(const SimLibrary&) = delete;
};

// A folder of this process alone for local files, removed at exit.
const std::string& ScratchDir();
std::string ScratchPath(const std::string& Name);
bool ReadWholeFile(const std::string& Path, std::string& Contents);
void WriteWholeFile(const std::string& Path, const std::string& Contents);
// Number of entries in the scratch folder (a transfer must leave no stray file).
size_t ScratchEntries();

// The data bytes of a report as the link takes them, or false when the link
// drops it: shorter than a packet, or a channel out of range. The read copies
// at most one packet, so a longer report counts as its first 64 bytes.
bool ReportData(const std::string& Report, uint8_t& Channel, std::string& Data);

}  // namespace zqk::fuzz
