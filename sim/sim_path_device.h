#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "sim/sim_folder.h"
#include "sim/sim_keeper.h"
#include "sim/sim_strings_device.h"

namespace zqk::sim {

// What "sim:DIR?option=value&..." asks for.
struct SimPathOptions {
    std::string Folder;  // absolute
    RunMode Mode = RunMode::App;
    bool QuotedNames = true;
    uint32_t PaceUs = 0;  // 0: input no faster than the host takes it (see ReadReport)
    std::string SerialNumber = "ZQK-0001";
    std::string Password;  // empty: none; else the terminal asks for it until it is typed
    uint64_t UnplugAfterReports = 0;  // 0: never
    bool CaseSensitiveNames = false;  // true: names that differ in case are different entries
    bool GarbledWrites = false;  // true: files are stored with their first byte inverted
};

bool IsSimPath(const std::string& Path);
// False, with the reason, for a path that is not a well-formed sim: path.
bool ParseSimPath(const std::string& Path, SimPathOptions& Options, std::string& Problem);
// The path that names the device: "sim:" and the absolute folder.
std::string SimDevicePath(const SimPathOptions& Options);
// Sets a whole simulated device up as the options ask: run mode, quoting,
// path, serial number, password, pacing, unplugging. Its files are the caller's to give.
void ApplySimPathOptions(const SimPathOptions& Options, SimKeeper& Keeper);

// The simulated device as a report device of its own, on the system clock,
// with its file system kept in a folder: what "sim:DIR" opens. Safe for the
// link's one reader beside its one writer: the model is touched under one
// mutex, and a read waits for input outside it.
class SimPathDevice final : public SimStringsDevice {
public:
    // Null, with the reason, when the folder cannot be used.
    static std::unique_ptr<SimPathDevice> Open(const SimPathOptions& Options, std::string& Problem);

    bool Open(int32_t VendorID, int32_t ProductID, int32_t UsagePage, int32_t Usage) override;
    void Close() override;
    bool IsOpen() const override;
    bool Gone() const override;
    int32_t ReadReport(uint8_t* Buffer, int32_t Count, int32_t TimeoutMs) override;
    int32_t WriteReport(const uint8_t* Buffer, int32_t Count, int32_t TimeoutMs) override;
    std::string DevicePath() const override { return path_; }
    int32_t LastError() const override;
    // Its codes are the C library's (errno values) on every platform.
    std::string ErrorText(int32_t Code) const override;
    bool ReadPending() const override;
    // Simulated devices share serial numbers: the folder names the device.
    bool SerialNumberNamesLock() const override { return false; }
    // Its lock is a file in its folder: whoever may change its files may take it.
    LockPlace LockedAt() const override { return {{}, folderPath_}; }
    // No program of the classic library reaches it.
    bool TakesClassicLock() const override { return false; }
    // Only its path reaches it.
    bool FoundByMatching() const override { return false; }

private:
    explicit SimPathDevice(const SimPathOptions& Options);
    template <typename Body>
    auto Locked(Body&& Run) const;
    bool Readable() const { return open_ && !keeper_.Device.Unplugged(); }
    std::optional<UsbIdentity> ReadableIdentity() const override;

    const std::string path_;
    const std::string folderPath_;
    const uint64_t writeFrameUs_;
    const bool pacedByHost_;
    mutable std::mutex model_;
    std::condition_variable inputQueued_;
    SimKeeper keeper_;
    SimFolder folder_;
    bool open_ = true;
    bool readPending_ = false;
    bool tookReport_ = false;  // the last read gave a report
    int32_t lastError_ = 0;
};

}  // namespace zqk::sim
