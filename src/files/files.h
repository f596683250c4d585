#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "terminal/terminal.h"

namespace zqk {

// The device's file system through terminal commands of the NF family.
// Every operation runs inside the operation bracket, which holds the device
// lock and marks the object busy, so that an operation started from a
// progress callback of another fails instead of interleaving with it.
class TzqkFiles {
public:
    using CompleteEvent = std::function<void(TzqkFiles& Sender)>;
    using ProgressEvent = std::function<void(TzqkFiles& Sender, int32_t Position, int32_t Total)>;

    explicit TzqkFiles(TzqTerminal& Terminal);

    CompleteEvent OnComplete;
    ProgressEvent OnProgress;
    // Names in double quotes (the device understands them) rather than with
    // blanks turned into underscores.
    std::atomic<bool> QuoteNames {false};
    bool Busy() const { return busy_; }

    bool BeginOp();
    void EndOp();
    std::string QuoteName(const std::string& Name) const;
    // Whether a name can go into a command line as the device reads it (see
    // files.cpp); a name that cannot fails its operation before anything is sent.
    bool CanSendName(const std::string& Name) const;
    void SendCommand(const std::string& Command);
    // False when MaxLength bytes came without the line's end.
    bool ReadLine(int32_t Timeout, std::string& Line, size_t MaxLength = TzqTerminal::kMaxGathered);
    // False when the answer reached TzqTerminal::kMaxGathered before its prompt.
    bool ReadResponse(int32_t Timeout, std::string& Text);
    void FinishOp();

    // Lists a device directory into List: the raw entry lines, unparsed.
    // CommandSent, when given, tells whether the command went out: a failure
    // before that (device closed, lock held elsewhere, a refused path) has
    // listed nothing at all.
    bool Dir(const std::string& Path, std::vector<std::string>& List, bool* CommandSent = nullptr);
    bool DirMake(const std::string& Path);
    bool DirRemove(const std::string& Path);
    bool FileDelete(const std::string& Path);
    bool Rename(const std::string& OldName, const std::string& NewName);
    bool FileRead(const std::string& Path, std::string& Contents);
    bool FileWrite(const std::string& Path, const std::string& Contents, std::optional<double> Time = std::nullopt);
    bool LoadFirmware(const std::string& Name, const std::string& Image);

private:
    class Bracket;
    bool RunChange(const std::string& Command, int32_t AnswerTimeout, bool FlushAfter);
    bool ReadGoAhead(const std::string& What);
    // Sends Data in blocks, looking between blocks whether the device broke
    // the transfer off; false when it did or a block could not be sent.
    bool SendBlocks(const std::string& What, const std::string& Data, const std::function<bool()>& DeviceBrokeOff);
    // Why an operation fails, for the caller: the device closed before it
    // started, silent or gone during it, or answering with an error.
    bool IsOpenToStart() const;
    bool ClosingPromptCame();
    void NoteNoAnswer(const std::string& What) const;
    void NoteAnswer(const std::string& What, const std::string& Answer) const;
    bool WriteBrokenOff();
    bool LoadBrokenOff();
    void Progress(int32_t Position, int32_t Total);
    void Complete();

    TzqTerminal& terminal_;
    bool busy_ = false;
};

// The name a firmware image is sent with: the part of its local path after
// the last "/", "\" or ":" (a path may use either slash on any platform), in
// lower case (ASCII letters only).
std::string FirmwareImageName(const std::string& LocalPath);

}  // namespace zqk
