// The figures of simulated devices opened by path ("sim:DIR") through
// handles, in real time: several paced devices at once, a command and a pull
// of small files against the protocol's floors, and the Python binding and
// the Node.js binding and zqk mount against the C exports on the same kind
// of device.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"

namespace zqkbench {

// The other programs the figures run, as the build made them.
struct Programs {
    std::string Tool;           // zqk
    std::string Library;        // libzqkAPI.so, for the Python binding
    std::string PythonPackage;  // the folder that holds the package zqkapi
    std::string PythonScript;   // bench/python_bench.py
    std::string Python;         // the interpreter
    std::string NodePackage;    // the package zqkapi for Node.js, with its tables
    std::string NodeScript;     // bench/node_bench.mjs
    std::string Node;           // node
};
Programs BuiltPrograms();

struct ParallelResult {
    std::optional<double> ReadPct;   // of all the links' capacity
    std::optional<double> WritePct;
    std::optional<double> CpuPct;    // of one core, over both directions
};
// Devices simulated devices paced at one report per IntervalUs each way, a
// handle each on a thread of its own, move Bytes each way on each at once.
ParallelResult ParallelPaced(int Devices, uint32_t IntervalUs, size_t Bytes);

struct AgainstFloor {
    std::optional<double> Value;
    std::optional<double> Floor;  // what the protocol allows at best
};
// zqkDevCommand("ver") on a device paced at IntervalUs: the median of Runs, in ms.
AgainstFloor CommandLatency(uint32_t IntervalUs, int Runs);
// zqk pull of a folder of Files files of Size bytes from a device paced at
// IntervalUs: files per second.
AgainstFloor SmallFilesPull(const Programs& Run, uint32_t IntervalUs, int Files, size_t Size);

// On simulated devices without latency ("pace=0"), in real time; the C
// exports' figures are the references of the others. The C exports, the
// bindings and the mount take turns, Rounds times (at least kAlternations),
// a value each per round in these series, pair by pair; a failed measurement
// leaves its value out, and the series' lengths then differ.
struct ZeroLatencyRuns {
    std::vector<double> DirMs;           // zqkDevDir and zqkDevGetDirEntry of 10,000 entries
    std::vector<double> PythonDirMs;     // Device.listdir of the same
    std::vector<double> ReadMiBs;        // zqkDevFileRead of 16 MiB
    std::vector<double> PythonReadMiBs;  // Device.get of the same, with a progress callback
    std::vector<double> NodeDirMs;       // Node.js: await device.listdir of the same
    std::vector<double> NodeReadMiBs;    // Node.js: await device.get of the same, with onProgress
    std::vector<double> WriteMiBs;       // zqkDevFileWrite of 16 MiB
    std::vector<double> MountReadMiBs;   // cat out of zqk mount
    std::vector<double> MountWriteMiBs;  // cp into zqk mount
};
ZeroLatencyRuns ZeroLatency(const Programs& Run, int32_t DirEntries, size_t FileSize, int Rounds = kAlternations);

// zqkFindDevices: the median of Runs calls, in ms.
std::optional<double> FindDevicesMs(int Runs);

}  // namespace zqkbench
