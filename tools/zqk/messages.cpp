// The library's reasons in the tool's words. The library says what it sent
// ("the device refused NFDIR for "/x": 5:No path"), as its callers may rely
// on; the tool's user is told what failed, in words, with the device's own
// text after them: "no such folder: /x (the device said 5:No path)".
#include <regex>
#include <string>

#include "device_path.h"
#include "tool.h"
#include "zqkAPI.h"

namespace zqktool {

namespace {

const char kRefused[] = "the device refused ";

struct Phrase {
    const char* command;  // as the library names it
    const char* words;    // as the tool does
};

const Phrase kPhrases[] = {
    {"NFDIR for", "the listing"},   {"NFTYPE for", "the read"},          {"NFWRITE for", "the write"},
    {"NFMKDIR for", "making the folder"}, {"NFWIPEDIR for", "removing the folder"}, {"NFDEL for", "the delete"},
    {"NFRENAME for", "the rename"}, {"LOAD of", "the firmware load"},    {"the listing of", "the listing"},
    {"the read of", "the read"},    {"the write of", "the write"},
};

// The device's error codes, as its answers give them ("4:No file").
std::string CodeWords(int Code)
{
    switch (Code) {
    case 1: return "the device's disk failed";
    case 4: return "no such file";
    case 5: return "no such folder";
    case 6: return "the device takes no such name";
    case 7: return "the device denied it";
    case 8: return "it exists already";
    case 9: return "the device took a part of it for invalid";
    default: return "the device refused it";
    }
}

// What the device said in a refusal: after the last ": " that its code
// follows ("...for "/a: b": 5:No path"), else after the last ": ".
std::string DeviceSaid(const std::string& Text)
{
    for (size_t at = Text.rfind(": "); at != std::string::npos && at > 0; at = Text.rfind(": ", at - 1))
        if (at + 2 < Text.size() && Text[at + 2] >= '0' && Text[at + 2] <= '9')
            return Text.substr(at + 2);
    const size_t at = Text.rfind(": ");
    return at == std::string::npos ? std::string() : Text.substr(at + 2);
}

int SaidCode(const std::string& Said)
{
    return Said.empty() || Said[0] < '0' || Said[0] > '9' ? -1 : std::atoi(Said.c_str());
}

// A text of the library's without the commands and names it holds: the
// tool's message names the path already.
std::string WithoutProtocolWords(std::string Text)
{
    for (const Phrase& phrase : kPhrases) {
        const std::regex named(std::string(phrase.command) + " (\"[^\"]*\"( \"[^\"]*\")?|\\S+)");
        Text = std::regex_replace(Text, named, phrase.words);
    }
    return Text;
}

}  // namespace

std::string Because(const std::string& What, const std::string& Why)
{
    if (Why.empty())
        return What;
    if (Why.compare(0, What.size(), What) == 0)
        return Why;  // the reason says what failed already
    return What + ": " + Why;
}

std::string FailureMessage(const std::string& What, const std::string& Path, int32_t Status, const std::string& Text,
                           PathKind Kind)
{
    const std::string named = Path.empty() ? What : What + " " + Path;
    if (Status != ZQK_STATUS_REFUSED || Text.compare(0, sizeof kRefused - 1, kRefused) != 0)
        return Because(named, WithoutProtocolWords(Text));
    const std::string said = DeviceSaid(Text);
    const std::string told = " (the device said " + said + ")";
    const int code = SaidCode(said);
    if (code == 4 && !Path.empty())
        return "no such file: " + Path + told;
    if (code == 5 && !Path.empty())
        return "no such folder: " + (Kind == PathKind::Folder ? Path : DeviceParent(Path)) + told;
    return named + ": " + CodeWords(code) + told;
}

}  // namespace zqktool
