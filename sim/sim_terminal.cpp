#include "sim/sim_terminal.h"

#include <algorithm>
#include <cstdlib>

namespace zqk::sim {

namespace {

constexpr char kEscape = 0x1B;
constexpr char kReturn = 0x0D;
constexpr char kLineFeed = 0x0A;

std::pair<std::string, std::string> SplitCommand(const std::string& line)
{
    const size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos)
        return {};
    const size_t end = line.find(' ', start);
    if (end == std::string::npos)
        return {line.substr(start), {}};
    const size_t args = line.find_first_not_of(' ', end);
    return {line.substr(start, end - start), args == std::string::npos ? std::string() : line.substr(args)};
}

size_t SizeArgument(const std::string& args)
{
    return static_cast<size_t>(std::strtoull(args.c_str(), nullptr, 10));
}

}  // namespace

std::string TextOfLength(size_t Length)
{
    static const std::string line = "The quick brown fox jumps over the lazy dog 0123456789\r\n";
    std::string text;
    text.reserve(Length);
    while (text.size() < Length)
        text.append(line, 0, std::min(line.size(), Length - text.size()));
    return text;
}

std::string BytesOfLength(size_t Length)
{
    std::string bytes(Length, '\0');
    unsigned value = 0;
    for (size_t i = 0; i < Length; ++i) {
        if (value == 0xBB)
            ++value;
        bytes[i] = static_cast<char>(value);
        value = (value + 1) & 0xFF;
    }
    return bytes;
}

SimTerminal::SimTerminal(SimDevice& Device) : device_(Device)
{
    device_.OnChannelData(0, [this](const std::string& data) { OnHostData(data); });
    AddBuiltInCommands();
}

void SimTerminal::AddCommand(const std::string& Name, Command Run)
{
    commands_[Name] = std::move(Run);
}

void SimTerminal::Print(std::string_view Text, uint32_t DelayMs)
{
    device_.Send(0, Text, DelayMs);
}

void SimTerminal::PrintLine(std::string_view Line, uint32_t DelayMs)
{
    std::string text(Line);
    text += "\r\n";
    Print(text, DelayMs);
}

std::string SimTerminal::PromptText() const
{
    return "\xAB" + (locked_ ? std::string("PASSWORD:") : PromptName + ">") + "\xBB";
}

void SimTerminal::ShowPrompt(uint32_t DelayMs)
{
    Print(PromptText(), DelayMs);
}

void SimTerminal::ReceiveRaw(size_t Count, std::function<void(const std::string&)> Done)
{
    raw_.clear();
    rawWanted_ = Count;
    rawDone_ = std::move(Done);
    if (Count == 0 && rawDone_)
        rawDone_(raw_);
}

void SimTerminal::RequirePassword(const std::string& Password)
{
    password_ = Password;
    locked_ = !Password.empty();
}

void SimTerminal::OnHostData(const std::string& Data)
{
    for (size_t i = 0; i < Data.size(); ++i) {
        if (rawWanted_ > 0) {
            const size_t n = std::min(rawWanted_, Data.size() - i);
            raw_.append(Data, i, n);
            rawWanted_ -= n;
            i += n - 1;
            if (rawWanted_ == 0 && rawDone_) {
                auto done = std::move(rawDone_);
                rawDone_ = nullptr;
                done(raw_);
            }
            continue;
        }
        if (ignoring_ && Data[i] != kEscape)
            continue;
        ignoring_ = false;
        OnKey(Data[i]);
    }
}

void SimTerminal::OnKey(char Key)
{
    if (Key == kEscape) {
        line_.clear();
        Print("\r\n");
        ShowPrompt();
        return;
    }
    if (Echo)
        Print(Key == kReturn ? std::string("\r\n") : std::string(1, Key));
    if (Key == kReturn) {
        const std::string line = std::move(line_);
        line_.clear();
        RunLine(line);
    } else if (Key != kLineFeed) {
        line_ += Key;
    }
}

void SimTerminal::RunLine(const std::string& Line)
{
    lines_.push_back(Line);
    if (locked_) {
        if (Line == password_)
            locked_ = false;
        else
            PrintLine("Wrong password");
        ShowPrompt();
        return;
    }
    const auto [name, args] = SplitCommand(Line);
    if (name.empty()) {
        ShowPrompt();
        return;
    }
    const auto command = commands_.find(name);
    if (command == commands_.end()) {
        PrintLine("Unknown command: " + name);
        ShowPrompt();
        return;
    }
    command->second(args);
}

void SimTerminal::AddBuiltInCommands()
{
    AddCommand("help", [this](const std::string&) {
        std::string text;
        for (const auto& command : commands_)
            text += command.first + "\r\n";
        Print(text);
        ShowPrompt();
    });
    AddCommand("ver", [this](const std::string&) {
        PrintLine("zq.keeper firmware 2.4.1 (simulated)");
        ShowPrompt();
    });
    AddCommand("echo", [this](const std::string& args) {
        PrintLine(args);
        ShowPrompt();
    });
    // "text N": N bytes of readable lines; "bytes N": N bytes of every value but 0xBB.
    AddCommand("text", [this](const std::string& args) {
        Print(TextOfLength(SizeArgument(args)));
        ShowPrompt();
    });
    AddCommand("bytes", [this](const std::string& args) {
        Print(BytesOfLength(SizeArgument(args)));
        ShowPrompt();
    });
    // "sleep MS": the prompt comes after MS ms of silence.
    AddCommand("sleep", [this](const std::string& args) { ShowPrompt(static_cast<uint32_t>(SizeArgument(args))); });
    // "partial": output that is never followed by a prompt.
    AddCommand("partial", [this](const std::string&) { Print("partial output"); });
}

}  // namespace zqk::sim
