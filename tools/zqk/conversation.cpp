// Reports and conversation steps as text (see conversation.h). The channel
// protocol: byte 0 the channel, byte 1 a tag, byte 2 the data's length,
// then the data. On channel 0 the host sends command lines ended by CR; the
// device answers with lines ended by CR LF and its prompt, framed by 0xAB
// and 0xBB. A read ("NFTYPE") answers with a header line whose second
// field is the file's size and that many raw bytes; a write ("NFWRITE name
// TAB size ...") and a firmware load ("LOAD size name") send that many.
#include "conversation.h"

#include <cstdio>
#include <cstdlib>

#include "tool.h"  // Shown

namespace zqktool {

namespace {

constexpr uint8_t kEscape = 0x1B, kPromptStart = 0xAB, kPromptEnd = 0xBB;
// In the text of a prompt that asks for a password, as the library tells it.
constexpr const char* kPasswordMarker = "PASSWORD";

std::string HexBytes(const uint8_t* Data, size_t Size)
{
    std::string text;
    char byte[4];
    for (size_t i = 0; i < Size; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02x" : "%02x", Data[i]);
        text += byte;
    }
    return text;
}

std::string Seconds(uint64_t Microseconds, uint64_t Start)
{
    const uint64_t since = Microseconds > Start ? Microseconds - Start : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%4llu.%06llu", static_cast<unsigned long long>(since / 1000000),
                  static_cast<unsigned long long>(since % 1000000));
    return text;
}

char DirectionMark(TracedReport::Kind Kind)
{
    switch (Kind) {
    case TracedReport::Kind::ToDevice: return '>';
    case TracedReport::Kind::FromDevice: return '<';
    case TracedReport::Kind::Event: return '*';
    default: return '?';
    }
}

// The size field of a command that sends data after it, 0 for another.
uint64_t SizeSentAfter(const std::string& Command)
{
    if (Command.compare(0, 8, "NFWRITE ") == 0) {
        const size_t tab = Command.find('\t');
        return tab == std::string::npos ? 0 : std::strtoull(Command.c_str() + tab + 1, nullptr, 10);
    }
    if (Command.compare(0, 5, "LOAD ") == 0)
        return std::strtoull(Command.c_str() + 5, nullptr, 10);
    return 0;
}

std::string Counted(uint64_t Count, const char* One, const char* Many)
{
    return std::to_string(Count) + " " + (Count == 1 ? One : Many);
}

}  // namespace

std::string TerminalText(const uint8_t* Data, size_t Size, bool Named)
{
    std::string text;
    char escaped[8];
    for (size_t i = 0; i < Size; ++i) {
        const uint8_t c = Data[i];
        if (Named && c == kEscape)
            text += "{esc}";
        else if (Named && c == kPromptStart)
            text += "{prompt:";
        else if (Named && c == kPromptEnd)
            text += "}";
        else if (c == '\r')
            text += "\\r";
        else if (c == '\n')
            text += "\\n";
        else if (c == '\t')
            text += "\\t";
        else if (c == '\\' || c == '{' || c == '}')
            text += std::string("\\") + static_cast<char>(c);
        else if (c < 0x20 || c >= 0x7F)
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c), text += escaped;
        else
            text += static_cast<char>(c);
    }
    return text;
}

namespace {

// Channel 0's data: terminal text, and a transfer's file data (Kinds 'd')
// as {data:...}, where an escape or a prompt's bytes are only bytes.
std::string ChannelZeroText(const uint8_t* Data, size_t Size, const std::string& Kinds)
{
    std::string text;
    for (size_t start = 0, end; start < Size; start = end) {
        const bool data = start < Kinds.size() && Kinds[start] == 'd';
        for (end = start + 1; end < Size && (end < Kinds.size() && Kinds[end] == 'd') == data;)
            ++end;
        const std::string run = TerminalText(Data + start, end - start, !data);
        text += data ? "{data:" + run + "}" : run;
    }
    return text;
}

}  // namespace

std::string ReportLine(const TracedReport& Report, uint64_t StartMicroseconds, const std::string& Kinds)
{
    std::string line = Seconds(Report.microseconds, StartMicroseconds) + " " + DirectionMark(Report.kind) + " ";
    if (Report.kind == TracedReport::Kind::Event)
        return line + Shown(Report.event);
    if (!IsChannelPacket(Report.data, Report.size))
        return line + Counted(Report.size, "byte", "bytes") + ", no channel packet: " +
               HexBytes(Report.data, Report.size);
    const unsigned channel = Report.data[0], length = Report.data[2];
    char head[48];
    std::snprintf(head, sizeof head, "ch %2u len %2u", channel, length);
    line += head;
    if (Report.data[1] != 0)
        line += " tag " + std::to_string(Report.data[1]);
    const uint8_t* data = Report.data + 3;
    return line + "  " + (channel == 0 ? ChannelZeroText(data, length, Kinds) : HexBytes(data, length));
}

void ConversationSteps::Take(const TracedReport& Report, std::vector<std::string>& Lines, std::string* Kinds)
{
    kinds_ = Kinds;
    if (kinds_)
        kinds_->clear();
    if (Report.kind == TracedReport::Kind::Event)
        return Finish(Lines);  // the device opened anew, closed or went away: what came before is all
    if (!IsChannelPacket(Report.data, Report.size))
        return;
    const unsigned channel = Report.data[0];
    const size_t length = Report.data[2];
    const bool sent = Report.kind == TracedReport::Kind::ToDevice;
    if (channel != 0)
        (sent ? otherSent_ : otherReceived_)[channel] += length;
    else if (sent)
        TakeSent(Report.data + 3, length, Lines);
    else
        TakeReceived(Report.data + 3, length);
}

void ConversationSteps::TakeSent(const uint8_t* Data, size_t Count, std::vector<std::string>& Lines)
{
    for (size_t i = 0; i < Count; ++i) {
        Mark(sendData_ > 0);
        if (sendData_ > 0) {
            --sendData_, ++dataSent_;
        } else if (Data[i] == '\r') {
            BeginStep(Lines);
        } else if (Data[i] == kEscape && command_.empty() && i + 1 == Count) {
            // Sent alone it asks for the prompt, which tells whether a password is asked for: a
            // step of its own. Before a command in the same report it only clears the device's input.
            BeginStep(Lines);
        } else if (!(Data[i] == kEscape && command_.empty())) {
            command_ += static_cast<char>(Data[i]);
        }
    }
}

void ConversationSteps::Mark(bool FileData)
{
    if (kinds_)
        kinds_->push_back(FileData ? 'd' : 't');
}

// A command line sent, or an escape where command_ is empty.
void ConversationSteps::BeginStep(std::vector<std::string>& Lines)
{
    EndStep(Lines);
    const std::string shown = command_.empty() ? "{esc}"
                                               : TerminalText(reinterpret_cast<const uint8_t*>(command_.data()),
                                                              command_.size(), true);
    Lines.push_back("> " + shown);
    inStep_ = true;
    sendData_ = sendSize_ = SizeSentAfter(command_);
    receiveSize_ = 0;
    readHeaderDue_ = command_.compare(0, 6, "NFTYPE") == 0;
    receiveData_ = 0;
    command_.clear();
}

void ConversationSteps::TakeReceived(const uint8_t* Data, size_t Count)
{
    for (size_t i = 0; i < Count; ++i) {
        Mark(receiveData_ > 0);
        if (receiveData_ > 0) {
            --receiveData_, ++dataReceived_;
            endedAtPrompt_ = false;
        } else {
            TakeReceivedByte(Data[i]);
        }
    }
}

void ConversationSteps::TakeReceivedByte(uint8_t Byte)
{
    endedAtPrompt_ = inPrompt_ && Byte == kPromptEnd;
    if (endedAtPrompt_)
        passwordPrompt_ = prompt_.find(kPasswordMarker) != std::string::npos;
    if (Byte == kPromptStart)
        prompt_.clear();
    else if (inPrompt_ && !endedAtPrompt_)
        prompt_ += static_cast<char>(Byte);
    if (inPrompt_ || Byte == kPromptStart) {
        inPrompt_ = Byte != kPromptEnd;
        return;
    }
    line_ += static_cast<char>(Byte);
    if (Byte != '\n')
        return;
    ++lines_;
    const size_t tab = line_.find('\t');
    if (readHeaderDue_ && tab != std::string::npos) {
        receiveData_ = receiveSize_ = std::strtoull(line_.c_str() + tab + 1, nullptr, 10);  // its data next
        readHeaderDue_ = false;
    }
    line_.clear();
}

void ConversationSteps::EndStep(std::vector<std::string>& Lines)
{
    if (!inStep_)
        return;
    std::vector<std::string> parts;
    if (lines_ > 0 || (receiveSize_ == 0 && otherReceived_.empty()))
        parts.push_back(Counted(lines_, "line", "lines"));
    if (receiveSize_ > 0)
        parts.push_back(std::to_string(dataReceived_) + " of " + Counted(receiveSize_, "byte", "bytes") + " of data");
    for (const auto& [channel, bytes] : otherReceived_)
        parts.push_back(Counted(bytes, "byte", "bytes") + " on channel " + std::to_string(channel));
    if (sendSize_ > 0)
        parts.push_back(std::to_string(dataSent_) + " of " + Counted(sendSize_, "byte", "bytes") + " of data sent");
    for (const auto& [channel, bytes] : otherSent_)
        parts.push_back(Counted(bytes, "byte", "bytes") + " sent on channel " + std::to_string(channel));
    parts.push_back(!endedAtPrompt_ ? "no prompt" : passwordPrompt_ ? "password prompt" : "prompt");
    std::string summary = "<";
    for (size_t i = 0; i < parts.size(); ++i)
        summary += (i ? ", " : " ") + parts[i];
    Lines.push_back(summary);
    lines_ = dataReceived_ = dataSent_ = receiveSize_ = sendSize_ = 0;
    otherReceived_.clear();
    otherSent_.clear();
    endedAtPrompt_ = passwordPrompt_ = false;
}

// What was under way (a command line, a transfer's data, a prompt) ends
// with the step: after an event the conversation starts anew.
void ConversationSteps::Finish(std::vector<std::string>& Lines)
{
    EndStep(Lines);
    inStep_ = readHeaderDue_ = inPrompt_ = false;
    sendData_ = receiveData_ = 0;
    command_.clear();
    line_.clear();
    prompt_.clear();
}

}  // namespace zqktool
