#include "files/dir_entry.h"

#include "files/date_time.h"

namespace zqk {

void NextField(std::string& Line, std::string& Field)
{
    const size_t tab = Line.find('\t');
    if (tab == std::string::npos) {
        Field = std::move(Line);
        Line.clear();
        return;
    }
    Field = Line.substr(0, tab);
    Line.erase(0, tab + 1);
}

bool ParseDirLine(const std::string& Line, DirEntry& Entry)
{
    std::string rest = Line, field;
    DirEntry entry;
    NextField(rest, entry.Name);
    int32_t size = 0, attributes = 0;
    NextField(rest, field);
    if (!ParseInt32(field, size))
        return false;
    NextField(rest, field);
    if (!ParseInt32(field, attributes))
        return false;
    entry.Size = size;
    entry.Attributes = static_cast<uint8_t>(attributes & 0xFF);
    NextField(rest, field);
    entry.Time1 = PackedToDateTime(field);
    NextField(rest, field);
    entry.Time2 = PackedToDateTime(field);
    NextField(rest, field);
    entry.Time3 = PackedToDateTime(field);
    Entry = std::move(entry);
    return true;
}

void AttrToText(uint8_t Attr, std::string& Text)
{
    if (Attr & 0x10) {
        Text = "<DIR>";
        return;
    }
    Text.clear();
    if (Attr & 0x20)
        Text += 'A';
    if (Attr & 0x01)
        Text += 'R';
    if (Attr & 0x02)
        Text += 'H';
}

}  // namespace zqk
