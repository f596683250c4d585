#pragma once
// The unit's reports as a person reads them: one line for each report
// (zqk trace), and one for each step of the conversation (zqk -v): the
// command line sent, then what the device answered to it.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "capture_reports.h"

namespace zqktool {

// "   0.012345 > ch  0 len 14  {esc}NFDIR @"/"\r": the time in seconds
// since Start, the direction, the channel, the data's length and the data,
// as terminal text on channel 0 and in hex on the others; an event as
// "  0.012345 * device opened".
// Kinds, as ConversationSteps::Take gives it, marks the bytes of a
// transfer's file data, shown as {data:...}.
std::string ReportLine(const TracedReport& Report, uint64_t StartMicroseconds, const std::string& Kinds = "");
// Terminal bytes as text: Named, escape as {esc} and a prompt as
// {prompt:...}; CR, LF and tab as \r \n \t, other control and 8-bit bytes
// (and, not Named, escape and the prompt's bytes) as \xNN; \, { and } after
// a backslash.
std::string TerminalText(const uint8_t* Data, size_t Size, bool Named);

// The steps of a conversation, from its reports in order. A step begins
// with a command line or an escape sent on channel 0 and holds what came
// back before the next one: the lines, the data of a read or write, the
// bytes on other channels, and whether it ended at the device's prompt or
// at one that asks for a password.
class ConversationSteps {
public:
    // Takes one report, adding to Lines those it completes: the summary
    // ("< 12 lines, prompt", "< 2 lines, 76 of 76 bytes of data, prompt",
    // "< 1 line, password prompt") of the step before a command, and the
    // command ("> NFDIR @/logs", in the terminal text of TerminalText; an
    // escape is "> {esc}").
    // Kinds, where given, gets a letter for each byte of a report's data on
    // channel 0: 'd' for a transfer's file data, 't' for terminal text.
    void Take(const TracedReport& Report, std::vector<std::string>& Lines, std::string* Kinds = nullptr);
    // The summary of the last step, once no report follows (an event, the
    // device opened, closed or gone, ends a step too).
    void Finish(std::vector<std::string>& Lines);

private:
    void TakeSent(const uint8_t* Data, size_t Count, std::vector<std::string>& Lines);
    void TakeReceived(const uint8_t* Data, size_t Count);
    void TakeReceivedByte(uint8_t Byte);
    void BeginStep(std::vector<std::string>& Lines);
    void EndStep(std::vector<std::string>& Lines);
    void Mark(bool FileData);

    std::string* kinds_ = nullptr;  // of the report being taken
    bool inStep_ = false;
    std::string command_;      // the command line being sent
    std::string line_;         // the device's line being received
    uint64_t sendData_ = 0;    // of a write or firmware load: bytes still to come after the command
    uint64_t receiveData_ = 0; // of a read: bytes still to come after its header line
    bool readHeaderDue_ = false;
    bool inPrompt_ = false;
    // This step's counts.
    uint64_t lines_ = 0, dataReceived_ = 0, dataSent_ = 0;
    uint64_t receiveSize_ = 0, sendSize_ = 0;  // what the read's header and the write's command announced
    bool endedAtPrompt_ = false;
    std::string prompt_;           // the text of the prompt being received, or of the last one
    bool passwordPrompt_ = false;  // the last prompt asks for a password
    std::map<unsigned, uint64_t> otherReceived_, otherSent_;  // by channel
};

}  // namespace zqktool
