#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "link/comms.h"

namespace zqk {

// Terminal output received and not yet consumed. Taking bytes from the front
// moves an offset, so reading output byte by byte never copies what is left.
class PendingBytes {
public:
    size_t Size() const { return bytes_.size() - head_; }
    const char* Data() const { return bytes_.data() + head_; }
    void Append(const std::string& Chunk) { bytes_ += Chunk; }
    // Moves the first Count bytes (at most Size()) to the end of Text.
    void MoveFront(size_t Count, std::string& Text);

private:
    std::string bytes_;
    size_t head_ = 0;
};

// The device's text terminal on link channel 0: command lines out, output
// collected up to the device's prompt, escape and the password prompt, and
// the run mode told from the USB product string.
class TzqTerminal {
public:
    static const char* const kDefaultPrompt;  // 0xAB "zq.keeper>" 0xBB
    // The most output one read gathers: a device that talks on without the
    // marker it is read up to cannot make the host's memory grow without end.
    static constexpr size_t kMaxGathered = size_t {16} << 20;
    // How long the device may take to answer NFDEL: the file services wait
    // as long for a delete as the completion of a write cut short does for
    // its undo.
    static constexpr int32_t kDeleteAnswerTimeout = 20000;

    explicit TzqTerminal(TzqComms& Comms);
    virtual ~TzqTerminal() = default;

    // The expected prompt that ends a command's output. It may be replaced
    // by another thread while a command waits for it.
    void SetPrompt(const std::string& NewPrompt);
    std::string Prompt() const;
    // True when the last read ended because nothing came in time, the read
    // failed or the device was not open.
    std::atomic<bool> TimedOut {false};

    bool IsOpen() const;
    bool Lock(int32_t Timeout);
    void Unlock();
    int32_t PollTimeout() const;
    bool HasData();

    // Exactly Count bytes of output, or empty (TimedOut set) when the device
    // fell silent for Timeout first; what came stays pending then.
    void ReadChars(int32_t Count, int32_t Timeout, std::string& Text);
    // ReadChars that appends to Text (left as it was when nothing came), so
    // that a transfer gathers its blocks without copying each one twice.
    void ReadMoreChars(int32_t Count, int32_t Timeout, std::string& Text);
    // Reads byte by byte until the text ends with EndMarker or the device is
    // silent for Timeout; on the marker, the text is cut at the last
    // TrimMarker. Nothing after the marker is consumed. False when MaxLength
    // bytes came without the marker: reading stops there, the text untrimmed.
    bool ReadUntil(const std::string& EndMarker, const std::string& TrimMarker, int32_t Timeout, std::string& Text,
                   size_t MaxLength = kMaxGathered);
    // Everything up to the next prompt-closing byte 0xBB, without it (at
    // most kMaxGathered bytes).
    void FlushPrompt(int32_t Timeout, std::string& Text);
    // A command's output: everything up to the next full Prompt, without it;
    // a prompt with nothing in front of it is skipped, for Timeout at most
    // (then the result is empty, TimedOut set). False when the output reached
    // kMaxGathered first.
    bool WaitPrompt(int32_t Timeout, std::string& Text);
    bool SendText(const std::string& Text);
    void SendLine(const std::string& Line);
    // Told of each command line that SendLine sent (without its CR), on the
    // sending thread; set once, before the terminal is used.
    std::function<void(const std::string& Line)> OnCommand;
    // Sends an escape and tests whether the prompt the device shows contains
    // Pattern (not counting its closing 0xBB).
    bool IsPrompt(const std::string& Pattern);
    // False only when the device's prompt asks for a password.
    bool Escape();
    bool IsRunningBootloader();
    bool IsRunningApp();
    bool IsRunningATE();

    size_t PendingSize() const { return pending_.Size(); }

    // A transfer's data owed to the device while it is sent (see
    // TzqComms::OweTransfer), and its end when the device stopped waiting.
    void OweTransfer(const OwedTransfer& Owed) { comms_.OweTransfer(Owed); }
    void SettleTransfer() { comms_.SettleTransfer(); }
    // What the last completion of a transfer that another holder left cut
    // short did, for the status text; empty while none was needed.
    std::string RecoveryNote() const;

private:
    enum class Gathered { Ended, LockHeldElsewhere, TooLong };
    // ReadUntil that tells whether it could take the device lock.
    Gathered ReadUntilLocked(const std::string& EndMarker, const std::string& TrimMarker, int32_t Timeout,
                             std::string& Text, size_t MaxLength);
    void DrainOutput();
    void CompleteAbandonedTransfer(const OwedTransfer& Owed);
    void NoteRecovery(std::string Note);

    TzqComms& comms_;
    mutable std::mutex promptGuard_;
    std::string prompt_;
    // Touched only by the thread that holds the device lock.
    PendingBytes pending_;
    uint32_t discardsSeen_ = 0;  // the link's input discards that pending_ has followed
    std::string chunk_;  // reused for every packet received
    std::string byte_;   // reused for every byte read by ReadUntil
    mutable std::mutex noteGuard_;
    std::string recoveryNote_;
};

}  // namespace zqk
