#pragma once
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace zqktool {

// Exit codes, so that scripts can tell failures apart.
enum ExitCode {
    kOk = 0,
    kFailed = 1,        // the device refused or a transfer failed
    kUsage = 2,         // wrong arguments
    kNoDevice = 3,      // no matching device found
    kLockHeld = 4,      // another program holds the device lock
    kLocalFile = 5,     // a local file could not be read or written
};

// A failure to report: one line on standard error and an exit code.
struct Failure : std::runtime_error {
    Failure(ExitCode Code, const std::string& Message) : std::runtime_error(Message), code(Code) {}
    ExitCode code;
};

struct Options {
    int32_t vendorId = 0x16D0;
    int32_t productId = 0x064E;
    int32_t usagePage = 0xFFB2;
    int32_t usage = -1;
    int32_t timeout = 2000;
    bool sim = false;
    std::string simDir;
    std::string simMode = "app";
    bool simUnquoted = false;
    bool longForm = false;
    bool json = false;
    bool background = false;    // mount -b
    std::string device;         // --device (STAND-IN for the handles' branch: drop at the merge)
    bool help = false;
    bool version = false;
    std::string command;
    std::vector<std::string> args;
};

// ---- the device, real or simulated ----
// Starts the library (on the simulated device when asked) and opens the
// device; throws Failure when there is none.
void OpenDevice(const Options& Opts);
// The path of the device opened.
std::string OpenedPath();
// Saves what the simulated device changed, if it is one.
void FinishDevice();
// Why a device operation failed, as far as can be told from outside.
Failure DeviceFailure(const std::string& What);
// A handle of the device the options choose; throws Failure when there is none.
int32_t OpenChosenDevice(const Options& Opts);

// ---- progress of transfers ----
// Shows progress of a transfer as a bar on a terminal, as lines otherwise.
void StartProgress(const std::string& Label);
void EndProgress();

// ---- subcommands ----
int Info(const Options& Opts);
int List(const Options& Opts);
int Get(const Options& Opts);
int Put(const Options& Opts);
int Flash(const Options& Opts);
int Remove(const Options& Opts);
int MakeDir(const Options& Opts);
int RemoveDir(const Options& Opts);
int Move(const Options& Opts);
int Command(const Options& Opts);
int Terminal(const Options& Opts);
// The device's file system as a local folder (FUSE 3; elsewhere it says it is not there).
int Mount(const Options& Opts);

// ---- text helpers ----
bool IsTerminal(std::FILE* Stream);
std::string JsonString(const std::string& Text);
std::string HumanSize(double Bytes);

}  // namespace zqktool
