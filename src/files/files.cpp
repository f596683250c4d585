#include "files/files.h"

#include "files/date_time.h"
#include "files/dir_entry.h"
#include "base/failure_note.h"

#include <algorithm>

namespace zqk {

namespace {

constexpr int32_t kBracketLockTimeout = 1000;
constexpr int32_t kEscapePromptTimeout = 250;
constexpr int32_t kFinishTimeout = 100;
constexpr int32_t kListingLineTimeout = 1000;
constexpr int32_t kHeaderTimeout = 8000;
constexpr int32_t kBlockTimeout = 2000;
constexpr int32_t kClosingLineTimeout = 1000;
constexpr int32_t kMakeTimeout = 2000;
constexpr int32_t kRemoveTimeout = 20000;
constexpr int32_t kDeleteTimeout = TzqTerminal::kDeleteAnswerTimeout;
constexpr int32_t kRenameTimeout = 1000;
constexpr size_t kBlockSize = 4096;
constexpr int32_t kMaxLinesBeforeHeader = 1000;
constexpr size_t kMaxListingLines = 100000;
constexpr size_t kMaxListingBytes = TzqTerminal::kMaxGathered;
constexpr int32_t kWriteCheckSize = 256;

const char* const kNoError = "0:No error";
const char* const kSendFile = "Send file";

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The device's terminal takes control bytes as keys: a carriage return would
// run the command so far and the rest of the name as a second command line,
// an escape would drop the line, and a tab splits the fields of NFWRITE and of
// listing lines. No name on the device holds any of them.
bool HasControlByte(const std::string& text)
{
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return true;
    }
    return false;
}

// Room for the next Count bytes of a file of Announced bytes. The size is
// only the device's word, so the room grows with the data that came: never
// further ahead of it than its own size or 4 MiB (a device that lies makes
// the host commit no more than twice what it sent), and by doubling, so
// that each byte is copied about once on its way.
void MakeRoom(std::string& Contents, size_t Count, size_t Announced)
{
    constexpr size_t kFirstRoom = size_t {4} << 20;
    const size_t wanted = Contents.size() + Count;
    if (Contents.capacity() >= wanted)
        return;
    Contents.reserve(std::min(Announced, std::max({wanted, 2 * Contents.size(), kFirstRoom})));
}

// The first line of a device's answer, for telling the caller what it said.
std::string FirstLine(const std::string& Answer)
{
    const size_t start = Answer.find_first_not_of("\r\n");
    if (start == std::string::npos)
        return {};
    const size_t end = Answer.find_first_of("\r\n", start);
    return Answer.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string Quoted(const std::string& Name)
{
    return "\"" + Name + "\"";
}

}  // namespace

// Enters the operation bracket for the length of a scope, if it can.
class TzqkFiles::Bracket {
public:
    explicit Bracket(TzqkFiles& Files) : files_(Files), entered_(Files.BeginOp()) {}
    ~Bracket()
    {
        if (entered_)
            files_.EndOp();
    }
    Bracket(const Bracket&) = delete;
    Bracket& operator=(const Bracket&) = delete;
    explicit operator bool() const { return entered_; }

private:
    TzqkFiles& files_;
    bool entered_;
};

std::string FirmwareImageName(const std::string& LocalPath)
{
    const size_t cut = LocalPath.find_last_of("/\\:");
    std::string name = cut == std::string::npos ? LocalPath : LocalPath.substr(cut + 1);
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return name;
}

TzqkFiles::TzqkFiles(TzqTerminal& Terminal) : terminal_(Terminal) {}

bool TzqkFiles::BeginOp()
{
    if (!terminal_.Lock(kBracketLockTimeout))
        return false;
    if (busy_) {
        terminal_.Unlock();
        NoteFailure(Failure::InTransfer, "called from a progress callback while a transfer holds the device");
        return false;
    }
    busy_ = true;
    return true;
}

void TzqkFiles::EndOp()
{
    busy_ = false;
    terminal_.Unlock();
}

std::string TzqkFiles::QuoteName(const std::string& Name) const
{
    if (QuoteNames)
        return '"' + Name + '"';
    std::string quoted = Name;
    for (char& c : quoted) {
        if (c == ' ')
            c = '_';
    }
    return quoted;
}

// In double quotes, a quote inside the name would end it early, and the
// device would act on a name other than the one asked for.
bool TzqkFiles::CanSendName(const std::string& Name) const
{
    if (HasControlByte(Name)) {
        NoteFailure(Failure::Argument, "the device name " + Quoted(Name) +
                                           " holds a control byte, which the device would take as a key");
        return false;
    }
    if (QuoteNames && Contains(Name, "\"")) {
        NoteFailure(Failure::Argument, "the device name " + Quoted(Name) +
                                           " holds a double quote, which would end the device's quoted name");
        return false;
    }
    return true;
}

bool TzqkFiles::IsOpenToStart() const
{
    if (terminal_.IsOpen())
        return true;
    NoteFailure(Failure::NotOpen, "the device is not open");
    return false;
}

void TzqkFiles::NoteNoAnswer(const std::string& What) const
{
    if (!terminal_.IsOpen())
        NoteFailure(Failure::Gone, "the device went away during " + What);
    else
        NoteFailure(Failure::Timeout, "the device did not answer " + What + " in time");
}

void TzqkFiles::NoteAnswer(const std::string& What, const std::string& Answer) const
{
    const std::string said = FirstLine(Answer);
    if (said.empty())
        NoteNoAnswer(What);
    else
        NoteFailure(Failure::Refused, "the device refused " + What + ": " + said);
}

void TzqkFiles::SendCommand(const std::string& Command)
{
    terminal_.SendLine("\x1B" + Command);
    std::string escapePrompt;
    terminal_.FlushPrompt(terminal_.PollTimeout() + kEscapePromptTimeout, escapePrompt);
    terminal_.HasData();
}

bool TzqkFiles::ReadLine(int32_t Timeout, std::string& Line, size_t MaxLength)
{
    return terminal_.ReadUntil("\r\n", "\r\n", Timeout, Line, MaxLength);
}

bool TzqkFiles::ReadResponse(int32_t Timeout, std::string& Text)
{
    return terminal_.WaitPrompt(Timeout, Text);
}

void TzqkFiles::FinishOp()
{
    std::string prompt;
    terminal_.FlushPrompt(kFinishTimeout, prompt);
}

bool TzqkFiles::Dir(const std::string& Path, std::vector<std::string>& List, bool* CommandSent)
{
    if (CommandSent)
        *CommandSent = false;
    if (!IsOpenToStart() || !CanSendName(Path))
        return false;
    Bracket bracket(*this);
    if (!bracket)
        return false;
    List.clear();
    if (CommandSent)
        *CommandSent = true;
    SendCommand("NFDIR @" + QuoteName(Path));
    // A device that talks on is read no further than the bounds: lines
    // before the header, listing lines, and bytes of both.
    size_t bytesLeft = kMaxListingBytes;
    std::string line, lastSaid;
    auto beyondBounds = [&] {
        NoteFailure(Failure::Refused,
                    "the device's answer to NFDIR for " + Quoted(Path) + " went on beyond what a listing can be");
        return false;
    };
    for (int32_t before = 0;; ++before) {
        if (before == kMaxLinesBeforeHeader || !ReadLine(kListingLineTimeout, line, bytesLeft))
            return beyondBounds();
        bytesLeft -= line.size();
        if (Contains(line, "Directory of"))
            break;
        if (!terminal_.TimedOut && !FirstLine(line).empty())
            lastSaid = line;  // a whole line, not the prompt that silence ended
        if (terminal_.TimedOut) {
            NoteAnswer("NFDIR for " + Quoted(Path), lastSaid);
            return false;
        }
    }
    for (;;) {
        if (!ReadLine(kListingLineTimeout, line, bytesLeft))
            return beyondBounds();
        bytesLeft -= line.size();
        const bool cutBySilence = terminal_.TimedOut;
        if (!terminal_.IsOpen() || line.empty()) {
            if (terminal_.IsOpen() && !cutBySilence && ClosingPromptCame())
                return true;
            break;
        }
        if (List.size() == kMaxListingLines)
            return beyondBounds();
        List.push_back(line);  // a line cut short by silence counts too
        // A prompt glued to the last entry ends the listing as well.
        if (cutBySilence && Contains(line, "\xBB"))
            return true;
    }
    // Silence, or a device that went away, before the listing's end: what
    // came is only the front of the folder, and a caller that took it for
    // the whole would take every missing entry for one that is not there.
    const std::string came = "(" + std::to_string(List.size()) + (List.size() == 1 ? " entry" : " entries") + " had come)";
    if (!terminal_.IsOpen())
        NoteFailure(Failure::Gone, "the device went away before the listing of " + Quoted(Path) + " was complete " + came);
    else
        NoteFailure(Failure::Timeout, "the device fell silent before the listing of " + Quoted(Path) +
                                          " was complete " + came);
    return false;
}

// The prompt after the empty line that ends a listing's entries.
bool TzqkFiles::ClosingPromptCame()
{
    std::string prompt;
    terminal_.FlushPrompt(kListingLineTimeout, prompt);
    return !terminal_.TimedOut;
}

bool TzqkFiles::RunChange(const std::string& Command, int32_t AnswerTimeout, bool FlushAfter)
{
    if (!IsOpenToStart())
        return false;
    Bracket bracket(*this);
    if (!bracket)
        return false;
    SendCommand(Command);
    const std::string what = Command.substr(0, Command.find(' ')) + " for " + Command.substr(Command.find(' ') + 1);
    std::string answer;
    if (!ReadResponse(AnswerTimeout, answer)) {
        if (terminal_.TimedOut)
            NoteNoAnswer(what);
        else
            NoteFailure(Failure::Refused, "the device's answer to " + what + " went on without a prompt");
        return false;
    }
    if (FlushAfter) {
        std::string prompt;
        terminal_.FlushPrompt(kFinishTimeout, prompt);
    }
    if (Contains(answer, kNoError))
        return true;
    NoteAnswer(what, answer);
    return false;
}

bool TzqkFiles::DirMake(const std::string& Path)
{
    return CanSendName(Path) && RunChange("NFMKDIR " + QuoteName(Path), kMakeTimeout, true);
}

bool TzqkFiles::DirRemove(const std::string& Path)
{
    return CanSendName(Path) && RunChange("NFWIPEDIR " + QuoteName(Path), kRemoveTimeout, false);
}

bool TzqkFiles::FileDelete(const std::string& Path)
{
    return CanSendName(Path) && RunChange("NFDEL " + QuoteName(Path), kDeleteTimeout, false);
}

bool TzqkFiles::Rename(const std::string& OldName, const std::string& NewName)
{
    return CanSendName(OldName) && CanSendName(NewName) &&
           RunChange("NFRENAME " + QuoteName(OldName) + " " + QuoteName(NewName), kRenameTimeout, false);
}

void TzqkFiles::Progress(int32_t Position, int32_t Total)
{
    if (OnProgress)
        OnProgress(*this, Position, Total);
}

void TzqkFiles::Complete()
{
    if (OnComplete)
        OnComplete(*this);
}

bool TzqkFiles::FileRead(const std::string& Path, std::string& Contents)
{
    Contents.clear();
    if (!IsOpenToStart() || !CanSendName(Path))
        return false;
    Bracket bracket(*this);
    if (!bracket)
        return false;
    SendCommand("NFTYPE @" + QuoteName(Path));
    std::string header, field;
    ReadLine(kHeaderTimeout, header);
    int32_t size = 0;
    const bool hasTab = Contains(header, "\t");
    const std::string answer = header;  // the fields are taken out of header
    NextField(header, field);
    NextField(header, field);
    if (!hasTab || !ParseInt32(field, size)) {
        NoteAnswer("NFTYPE for " + Quoted(Path), answer);
        FinishOp();  // the refusal's prompt must not answer the next command's escape
        return false;
    }
    bool cutShort = false;
    for (int32_t remaining = size; remaining > 0;) {
        const int32_t count = remaining < static_cast<int32_t>(kBlockSize) ? remaining : static_cast<int32_t>(kBlockSize);
        const size_t before = Contents.size();
        MakeRoom(Contents, static_cast<size_t>(count), static_cast<size_t>(size));
        terminal_.ReadMoreChars(count, kBlockTimeout, Contents);
        if (Contents.size() == before) {
            cutShort = true;
            NoteNoAnswer("the read of " + Quoted(Path) + " (" + std::to_string(size - remaining) + " of " +
                         std::to_string(size) + " bytes had come)");
            Contents.clear();
            break;
        }
        remaining -= count;
        Progress(size - remaining, size);
    }
    Complete();
    FinishOp();
    return !cutShort;
}

bool TzqkFiles::ReadGoAhead(const std::string& What)
{
    std::string line;
    ReadLine(kHeaderTimeout, line);
    if (Contains(line, kSendFile))
        return true;
    NoteAnswer(What, line);
    FinishOp();  // the refusal's prompt must not answer the next command's escape
    return false;
}

bool TzqkFiles::SendBlocks(const std::string& What, const std::string& Data,
                           const std::function<bool()>& DeviceBrokeOff)
{
    const auto total = static_cast<int32_t>(Data.size());
    for (size_t sent = 0; sent < Data.size();) {
        const size_t n = std::min(kBlockSize, Data.size() - sent);
        if (!terminal_.SendText(Data.substr(sent, n)))
            return false;
        // Output after the last block is the device's answer to a complete
        // transfer; only output between blocks breaks it off.
        const bool last = sent + n == Data.size();
        if (!last && DeviceBrokeOff()) {
            NoteFailure(Failure::Refused, "the device broke off " + What + " after " + std::to_string(sent + n) +
                                              " of " + std::to_string(Data.size()) + " bytes");
            terminal_.SettleTransfer();  // the device stopped waiting for the rest
            return false;
        }
        sent += n;
        Progress(static_cast<int32_t>(sent), total);
    }
    return true;
}

bool TzqkFiles::WriteBrokenOff()
{
    std::string output;
    terminal_.ReadChars(kWriteCheckSize, 0, output);
    return Contains(output, "\xBB");
}

bool TzqkFiles::LoadBrokenOff()
{
    std::string output;
    terminal_.ReadChars(1, 0, output);
    return !output.empty();
}

bool TzqkFiles::FileWrite(const std::string& Path, const std::string& Contents, std::optional<double> Time)
{
    if (!IsOpenToStart() || !CanSendName(Path))
        return false;
    Bracket bracket(*this);
    if (!bracket)
        return false;
    std::string command = "NFWRITE " + QuoteName(Path) + "\t" + std::to_string(Contents.size());
    if (Time)
        command += "\t" + std::to_string(DateTimeToPacked(*Time));
    command += "\tw";
    SendCommand(command);
    const std::string what = "the write of " + Quoted(Path);
    if (!ReadGoAhead("NFWRITE for " + Quoted(Path)))
        return false;
    // Cut short, the device is left with a file that looks complete but is not.
    terminal_.OweTransfer({OwedTransfer::Kind::Write, static_cast<uint32_t>(Contents.size()), "NFDEL " + QuoteName(Path)});
    const bool whole = SendBlocks(what, Contents, [this] { return WriteBrokenOff(); });
    Complete();
    std::string closingLine;
    ReadLine(kClosingLineTimeout, closingLine);
    FinishOp();
    return whole;
}

bool TzqkFiles::LoadFirmware(const std::string& Name, const std::string& Image)
{
    // The image's name goes unquoted, so only control bytes matter in it.
    if (!IsOpenToStart())
        return false;
    if (HasControlByte(Name)) {
        NoteFailure(Failure::Argument, "the firmware image's name " + Quoted(Name) + " holds a control byte");
        return false;
    }
    Bracket bracket(*this);
    if (!bracket)
        return false;
    SendCommand("LOAD " + std::to_string(Image.size()) + " " + Name);
    if (!ReadGoAhead("LOAD of " + Quoted(Name)))
        return false;
    terminal_.OweTransfer({OwedTransfer::Kind::Firmware, static_cast<uint32_t>(Image.size()), std::string()});
    const bool whole = SendBlocks("the firmware load", Image, [this] { return LoadBrokenOff(); });
    Complete();
    FinishOp();
    return whole;
}

}  // namespace zqk
