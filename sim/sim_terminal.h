#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_device.h"

namespace zqk::sim {

// The device's command terminal on channel 0. Keystrokes gather into a line
// that runs on carriage return; escape drops the line and shows the prompt.
// Every command prints its output and then the prompt. The terminal does not
// echo unless told to.
class SimTerminal {
public:
    using Command = std::function<void(const std::string& Arguments)>;

    explicit SimTerminal(SimDevice& Device);

    // Adds a command (the first word of a line) or replaces one.
    void AddCommand(const std::string& Name, Command Run);

    // ---- output, for commands ----
    void Print(std::string_view Text, uint32_t DelayMs = 0);
    void PrintLine(std::string_view Line, uint32_t DelayMs = 0);
    void ShowPrompt(uint32_t DelayMs = 0);
    std::string PromptText() const;
    // The next Count bytes from the host are data, not keystrokes; Done gets
    // them once all have come.
    void ReceiveRaw(size_t Count, std::function<void(const std::string& Data)> Done);
    bool ReceivingRaw() const { return rawWanted_ > 0; }
    // Drops everything the host sends until its next escape, as the device
    // does after breaking a transfer off.
    void IgnoreUntilEscape() { ignoring_ = true; }

    // ---- behaviour ----
    // Text between the prompt's framing bytes 0xAB and 0xBB, without ">".
    std::string PromptName = "zq.keeper";
    // Echo typed characters back, as a terminal program would.
    bool Echo = false;
    // Until the password is typed, the prompt asks for it and no command runs.
    void RequirePassword(const std::string& Password);
    bool Locked() const { return locked_; }

    // Command lines run so far, for tests.
    const std::vector<std::string>& Lines() const { return lines_; }

private:
    void OnHostData(const std::string& Data);
    void OnKey(char Key);
    void RunLine(const std::string& Line);
    void AddBuiltInCommands();

    SimDevice& device_;
    std::map<std::string, Command> commands_;
    std::string line_;
    std::string password_;
    bool locked_ = false;
    bool ignoring_ = false;
    size_t rawWanted_ = 0;
    std::string raw_;
    std::function<void(const std::string&)> rawDone_;
    std::vector<std::string> lines_;
};

// Output of N bytes of readable lines ending in CR LF, for long outputs.
std::string TextOfLength(size_t Length);
// N bytes cycling through every byte value except 0xBB, the prompt's end.
std::string BytesOfLength(size_t Length);

}  // namespace zqk::sim
