#include "terminal/terminal.h"

#include <cstring>
#include <optional>

namespace zqk {

namespace {

// Spelled as bytes: the prompt must be these 12 bytes whatever encoding this
// source file is read in.
const char kPromptBytes[] = "\xAB" "zq.keeper>" "\xBB";
const std::string kPromptEnd = "\xBB";
const std::string kEscape = "\x1B";
const char* const kPasswordMarker = "PASSWORD";

constexpr int32_t kSendLockTimeout = 5000;
constexpr int32_t kSendReportTimeout = 200;
constexpr int32_t kPromptTestLockTimeout = 1000;
constexpr int32_t kPromptTestTimeout = 50;
// The device's answer to a transfer completed for a holder before, and to
// the escape after it.
constexpr int32_t kOwedAnswerTimeout = 2000;
constexpr int32_t kOwedEscapeTimeout = 250;
// A device that never stops talking would keep the prompt test draining for
// ever; after this long the test goes ahead with what is still coming. The
// same bounds the empty prompts that the test skips in the device's answer.
// Both count time, since a device may talk slowly.
constexpr uint64_t kMaxDrainMs = 1000;

bool EndsWith(const std::string& text, const std::string& marker)
{
    return text.size() >= marker.size() &&
           std::memcmp(text.data() + text.size() - marker.size(), marker.data(), marker.size()) == 0;
}

// Locks the device for the length of a scope, if it can.
class ScopedDeviceLock {
public:
    ScopedDeviceLock(TzqTerminal& Terminal, int32_t Timeout) : terminal_(Terminal), held_(Terminal.Lock(Timeout)) {}
    ~ScopedDeviceLock()
    {
        if (held_)
            terminal_.Unlock();
    }
    ScopedDeviceLock(const ScopedDeviceLock&) = delete;
    ScopedDeviceLock& operator=(const ScopedDeviceLock&) = delete;
    explicit operator bool() const { return held_; }

private:
    TzqTerminal& terminal_;
    bool held_;
};

}  // namespace

const char* const TzqTerminal::kDefaultPrompt = kPromptBytes;

void PendingBytes::MoveFront(size_t Count, std::string& Text)
{
    const size_t n = Count < Size() ? Count : Size();
    Text.append(Data(), n);
    head_ += n;
    if (head_ == bytes_.size()) {
        bytes_.clear();
        head_ = 0;
    } else if (head_ >= 4096 && head_ >= Size()) {
        bytes_.erase(0, head_);
        head_ = 0;
    }
}

TzqTerminal::TzqTerminal(TzqComms& Comms) : comms_(Comms), prompt_("\xAB") {}

void TzqTerminal::SetPrompt(const std::string& NewPrompt)
{
    const std::lock_guard<std::mutex> guard(promptGuard_);
    prompt_ = NewPrompt;
}

std::string TzqTerminal::Prompt() const
{
    const std::lock_guard<std::mutex> guard(promptGuard_);
    return prompt_;
}

bool TzqTerminal::IsOpen() const { return comms_.IsOpen(); }
// Output still pending from before the link threw its input away belongs to
// the same past conversation and goes with it. A transfer that the holder
// before left cut short is completed before anything else reaches the device.
bool TzqTerminal::Lock(int32_t Timeout)
{
    if (!comms_.Lock(Timeout))
        return false;
    if (discardsSeen_ != comms_.InputDiscards()) {
        discardsSeen_ = comms_.InputDiscards();
        pending_ = PendingBytes();
    }
    if (comms_.AbandonedTransferWaits()) {
        if (std::optional<OwedTransfer> owed = comms_.TakeAbandonedTransfer())
            CompleteAbandonedTransfer(*owed);
    }
    return true;
}

// The device waits for the rest of a transfer's data and would store the
// next command as such. The rest goes as zero bytes, owed by this holder now
// (killed meanwhile, it leaves them to the next); the device then answers as
// to a whole transfer, and what it made of the broken one is undone. When it
// does not answer it was not waiting (it was unplugged since, say): nothing
// is undone, and an escape drops the zero bytes it took as keys.
void TzqTerminal::CompleteAbandonedTransfer(const OwedTransfer& Owed)
{
    comms_.OweTransfer(Owed);
    const std::string zeros(4096, '\0');
    for (uint32_t left = Owed.Bytes; left > 0;) {
        const uint32_t n = left < zeros.size() ? left : static_cast<uint32_t>(zeros.size());
        if (!comms_.Send(zeros.substr(0, n), 0, 0, kSendReportTimeout)) {
            NoteRecovery("could not complete a transfer cut short by the holder before: the link failed");
            return;
        }
        left -= n;
    }
    std::string answer;
    FlushPrompt(kOwedAnswerTimeout, answer);
    const bool answered = !TimedOut;
    const bool undo = answered && !Owed.Undo.empty();
    SendText(kEscape + (undo ? Owed.Undo + "\r" : std::string()));
    std::string undone;
    FlushPrompt(kOwedEscapeTimeout, undone);  // the escape's prompt
    if (undo)
        FlushPrompt(kDeleteAnswerTimeout, undone);
    const std::string what = Owed.What == OwedTransfer::Kind::Firmware ? "firmware load" : "write";
    std::string note = "completed a " + what + " cut short by the holder before with " + std::to_string(Owed.Bytes) +
                       " zero bytes";
    if (!answered)
        note += "; the device did not answer, so nothing was undone";
    else if (undo)
        note += "; " + Owed.Undo + ": " + undone.substr(0, undone.find_first_of("\r\n"));
    if (Owed.What == OwedTransfer::Kind::Firmware)
        note += "; the device holds an incomplete image";
    NoteRecovery(note);
}

void TzqTerminal::NoteRecovery(std::string Note)
{
    const std::lock_guard<std::mutex> guard(noteGuard_);
    recoveryNote_ = std::move(Note);
}

std::string TzqTerminal::RecoveryNote() const
{
    const std::lock_guard<std::mutex> guard(noteGuard_);
    return recoveryNote_;
}
void TzqTerminal::Unlock() { comms_.Unlock(); }
int32_t TzqTerminal::PollTimeout() const { return comms_.PollTimeout(); }
bool TzqTerminal::HasData() { return comms_.HasData(0); }

void TzqTerminal::ReadChars(int32_t Count, int32_t Timeout, std::string& Text)
{
    Text.clear();
    ReadMoreChars(Count, Timeout, Text);
}

void TzqTerminal::ReadMoreChars(int32_t Count, int32_t Timeout, std::string& Text)
{
    ScopedDeviceLock lock(*this, Timeout);
    if (!lock)
        return;
    TimedOut = false;
    const size_t wanted = Count > 0 ? static_cast<size_t>(Count) : 0;
    while (pending_.Size() < wanted) {
        if (!comms_.Receive(0, Timeout, -1, chunk_, wanted - pending_.Size())) {
            TimedOut = true;
            return;
        }
        pending_.Append(chunk_);
    }
    pending_.MoveFront(wanted, Text);
}

bool TzqTerminal::ReadUntil(const std::string& EndMarker, const std::string& TrimMarker, int32_t Timeout,
                            std::string& Text, size_t MaxLength)
{
    return ReadUntilLocked(EndMarker, TrimMarker, Timeout, Text, MaxLength) != Gathered::TooLong;
}

TzqTerminal::Gathered TzqTerminal::ReadUntilLocked(const std::string& EndMarker, const std::string& TrimMarker,
                                                   int32_t Timeout, std::string& Text, size_t MaxLength)
{
    Text.clear();
    if (Timeout > 0)
        Timeout += comms_.ExtraTimeout();
    if (!IsOpen()) {
        TimedOut = true;
        return Gathered::Ended;
    }
    ScopedDeviceLock lock(*this, Timeout);
    if (!lock)
        return Gathered::LockHeldElsewhere;
    for (;;) {
        ReadChars(1, Timeout, byte_);
        if (byte_.empty())
            return Gathered::Ended;  // silence: everything read so far, untrimmed
        Text += byte_[0];
        if (!EndMarker.empty() && EndsWith(Text, EndMarker))
            break;
        if (Text.size() >= MaxLength)
            return Gathered::TooLong;
    }
    if (!TrimMarker.empty()) {
        const size_t at = Text.rfind(TrimMarker);
        if (at != std::string::npos)
            Text.resize(at);
    }
    return Gathered::Ended;
}

void TzqTerminal::FlushPrompt(int32_t Timeout, std::string& Text)
{
    ReadUntil(kPromptEnd, kPromptEnd, Timeout, Text);
}

// Empty prompts are skipped for no longer than Timeout: a device that shows
// them on and on, each within Timeout of the last, ends the wait as silence
// would.
bool TzqTerminal::WaitPrompt(int32_t Timeout, std::string& Text)
{
    // Every caller holds the device lock already; should one not, a lock held
    // elsewhere ends the wait instead of retrying without end.
    const std::string prompt = Prompt();
    Clock& clock = comms_.TimeSource();
    const uint64_t skipUntil = clock.NowMs() + static_cast<uint64_t>(Timeout > 0 ? Timeout : 0);
    for (;;) {
        const Gathered gathered = ReadUntilLocked(prompt, prompt, Timeout, Text, kMaxGathered);
        if (gathered == Gathered::TooLong)
            return false;
        if (gathered == Gathered::LockHeldElsewhere || !Text.empty() || TimedOut)
            return true;
        if (clock.NowMs() > skipUntil) {
            TimedOut = true;
            return true;
        }
    }
}

bool TzqTerminal::SendText(const std::string& Text)
{
    ScopedDeviceLock lock(*this, kSendLockTimeout);
    if (!lock)
        return false;
    return comms_.Send(Text, 0, 0, kSendReportTimeout);
}

void TzqTerminal::SendLine(const std::string& Line)
{
    if (SendText(Line + "\r") && OnCommand)
        OnCommand(Line);
}

void TzqTerminal::DrainOutput()
{
    std::string discarded;
    Clock& clock = comms_.TimeSource();
    const uint64_t until = clock.NowMs() + kMaxDrainMs;
    do
        FlushPrompt(kPromptTestTimeout, discarded);
    while (!discarded.empty() && clock.NowMs() < until);
}

bool TzqTerminal::IsPrompt(const std::string& Pattern)
{
    ScopedDeviceLock lock(*this, kPromptTestLockTimeout);
    if (!lock)
        return false;
    DrainOutput();
    comms_.Send(kEscape, 0, 0, kPromptTestTimeout);
    // Bare closing bytes are skipped as empty prompts, but no longer than a
    // drain: a device that sends nothing else would keep the test for ever.
    std::string prompt;
    Clock& clock = comms_.TimeSource();
    const uint64_t until = clock.NowMs() + kMaxDrainMs;
    do {
        FlushPrompt(kPromptTestTimeout, prompt);
        if (TimedOut)
            return false;
        if (!prompt.empty())
            return !Pattern.empty() && prompt.find(Pattern) != std::string::npos;
    } while (clock.NowMs() < until);
    return false;
}

bool TzqTerminal::Escape()
{
    return !IsPrompt(kPasswordMarker);
}

bool TzqTerminal::IsRunningBootloader() { return comms_.Product().find("BootLoader") != std::string::npos; }
bool TzqTerminal::IsRunningApp() { return comms_.Product().find("zq.keeper") != std::string::npos; }
bool TzqTerminal::IsRunningATE() { return comms_.Product().find("ATE") != std::string::npos; }

}  // namespace zqk
