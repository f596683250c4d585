#include "sim/sim_folder.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <system_error>

#include "sim/host_folder.h"
#include "sim/sim_file_system.h"

namespace zqk::sim {

namespace fs = std::filesystem;

const char* const SimFolder::kIndexName = ".zqk-sim-index";
const char* const SimFolder::kLockName = ".zqk-index.lock";

namespace {

constexpr const char* kOwnPrefix = ".zqk-";
// Beside the index and a file being written, under the same names each
// time: only the holder of the store for changing writes them.
constexpr const char* kIndexTemporary = ".zqk-index.tmp";
constexpr const char* kWriteTemporary = ".zqk-write.tmp";
// A holder keeps the store for one command; longer than this it is stuck.
constexpr uint32_t kHoldTimeoutMs = 10000;

// A host name of the simulator's own, never an entry.
bool IsOwnName(const std::string& HostName)
{
    return HostName.rfind(kOwnPrefix, 0) == 0;
}

// Whether a device name would look like one of the simulator's own, on a
// host that does not tell case apart too.
bool LooksOwn(const std::string& DeviceName)
{
    const size_t n = std::strlen(kOwnPrefix);
    if (DeviceName.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(DeviceName[i])) != kOwnPrefix[i])
            return false;
    }
    return true;
}

bool HeldAsItIs(unsigned char c, bool last)
{
    if (c < 0x20 || c == 0x7F || std::strchr("%/\\:*?\"<>|", c))
        return false;
    return !last || (c != '.' && c != ' ');  // Windows drops a trailing dot or blank
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

SimPath Split(const std::string& Path)
{
    SimPath parts;
    for (size_t start = 1; start <= Path.size();) {
        const size_t slash = std::min(Path.find('/', start), Path.size());
        parts.push_back(Path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

uint32_t PackedModified(const fs::directory_entry& Entry)
{
    std::error_code ec;
    const fs::file_time_type written = Entry.last_write_time(ec);
    if (ec)
        return SimFileSystem::PackLocalTime(std::time(nullptr));
    const auto age = std::chrono::duration_cast<std::chrono::system_clock::duration>(
        fs::file_time_type::clock::now() - written);
    return SimFileSystem::PackLocalTime(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() - age));
}

// One line of the index: host path, attribute byte, three packed times.
bool ParseIndexLine(const std::string& Line, std::string& Key, SimStamp& Stamp)
{
    const size_t tab = Line.find('\t');
    if (tab == std::string::npos)
        return false;
    Key = Line.substr(0, tab);
    const char* at = Line.c_str() + tab + 1;
    unsigned long fields[4];
    for (unsigned long& field : fields) {
        char* end = nullptr;
        field = std::strtoul(at, &end, 10);
        if (end == at || (*end != '\t' && *end != '\0'))
            return false;
        at = *end ? end + 1 : end;
    }
    Stamp.Attributes = static_cast<uint8_t>(fields[0]);
    for (int i = 0; i < 3; ++i)
        Stamp.Times[i] = static_cast<uint32_t>(fields[i + 1]);
    return true;
}

class FolderHold final : public SimStore::Hold {
public:
    FolderHold(const fs::path& LockFile, bool Exclusive, std::function<void()> OnRelease)
        : lock_(LockFile, Exclusive, kHoldTimeoutMs), onRelease_(std::move(OnRelease))
    {
    }
    ~FolderHold() override { onRelease_(); }
    bool Held() const { return lock_.Held(); }

private:
    HostFileLock lock_;
    std::function<void()> onRelease_;
};

}  // namespace

std::string SimFolder::HostName(const std::string& DeviceName)
{
    std::string host;
    const bool looksOwn = LooksOwn(DeviceName);
    for (size_t i = 0; i < DeviceName.size(); ++i) {
        const auto c = static_cast<unsigned char>(DeviceName[i]);
        if (HeldAsItIs(c, i + 1 == DeviceName.size()) && !(looksOwn && i == 0)) {
            host += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            host += escaped;
        }
    }
    return host;
}

std::string SimFolder::DeviceName(const std::string& HostName)
{
    std::string name;
    for (size_t i = 0; i < HostName.size(); ++i) {
        const int high = HostName[i] == '%' && i + 2 < HostName.size() ? HexDigit(HostName[i + 1]) : -1;
        const int low = high >= 0 ? HexDigit(HostName[i + 2]) : -1;
        if (low >= 0) {
            name += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            name += HostName[i];
        }
    }
    return name;
}

SimFolder::SimFolder(fs::path Folder, NameLess Names) : folder_(std::move(Folder)), names_(Names) {}

bool SimFolder::Prepare(std::string& Problem)
{
    std::error_code ec;
    if (fs::is_directory(folder_, ec))
        return true;
    if (fs::exists(folder_, ec)) {
        Problem = folder_.string() + " is no folder";
        return false;
    }
    // Seeded beside its place and moved there whole.
    fs::create_directories(folder_.parent_path(), ec);
    fs::path seed;
    for (int attempt = 0; attempt < 100 && seed.empty(); ++attempt) {
        const fs::path candidate = folder_.string() + kOwnPrefix + "seed-" + std::to_string(attempt);
        if (fs::create_directory(candidate, ec))
            seed = candidate;
    }
    if (seed.empty()) {
        Problem = "cannot make a folder beside " + folder_.string() + (ec ? ": " + ec.message() : std::string());
        return false;
    }
    SimFolder fresh(seed, names_);
    if (!SeedDemoTree(fresh)) {
        fs::remove_all(seed, ec);
        Problem = "cannot seed a new folder for " + folder_.string();
        return false;
    }
    fs::rename(seed, folder_, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove_all(seed, ignored);
        if (!fs::is_directory(folder_, ignored)) {  // not made meanwhile by another program
            Problem = "cannot make " + folder_.string() + ": " + ec.message();
            return false;
        }
    }
    return true;
}

// While the folder is held no other program changes the index, so it is
// read once per hold.
std::unique_ptr<SimStore::Hold> SimFolder::HoldFor(bool Changing)
{
    auto hold = std::make_unique<FolderHold>(folder_ / kLockName, Changing, [this] { heldIndex_.reset(); });
    if (!hold->Held())
        return nullptr;
    return hold;
}

// The host name of the entry Name in Dir: its own host name when that is
// there, else the first (in byte order) whose device name compares equal.
std::optional<std::string> SimFolder::HostNameIn(const fs::path& Dir, const std::string& Name) const
{
    std::error_code ec;
    const std::string direct = HostName(Name);
    if (fs::exists(fs::symlink_status(Dir / direct, ec)))
        return direct;
    std::optional<std::string> found;
    for (fs::directory_iterator it(Dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string host = it->path().filename().string();
        if (!IsOwnName(host) && names_.Same(DeviceName(host), Name) && (!found || host < *found))
            found = std::move(host);
    }
    return found;
}

std::optional<SimFolder::Located> SimFolder::Locate(const SimPath& Path) const
{
    Located at {folder_, ""};
    for (const std::string& name : Path) {
        const std::optional<std::string> host = HostNameIn(at.Host, name);
        if (!host)
            return std::nullopt;
        at.Host /= *host;
        at.Key += "/" + *host;
    }
    return at;
}

std::optional<SimFolder::Located> SimFolder::PlaceOf(const SimPath& Path) const
{
    if (Path.empty())
        return std::nullopt;
    std::optional<Located> place = Locate(SimPath(Path.begin(), Path.end() - 1));
    if (!place)
        return std::nullopt;
    const std::string host = HostNameIn(place->Host, Path.back()).value_or(HostName(Path.back()));
    place->Host /= host;
    place->Key += "/" + host;
    return place;
}

SimEntry SimFolder::Describe(const fs::directory_entry& Host, const std::string& Name, const std::string& Key,
                             const Index& Stamps) const
{
    std::error_code ec;
    SimEntry entry;
    entry.Name = Name;
    entry.IsDir = Host.is_directory(ec);
    entry.Size = entry.IsDir ? 0 : Host.file_size(ec);
    if (ec)
        entry.Size = 0;
    const auto stamp = Stamps.find(Key);
    if (stamp != Stamps.end()) {
        entry.Stamp = stamp->second;
    } else {  // put there by another program: what the host knows of it
        const uint32_t modified = PackedModified(Host);
        entry.Stamp = SimStamp {static_cast<uint8_t>(entry.IsDir ? 0x10 : 0x20), {modified, modified, modified}};
    }
    return entry;
}

const SimFolder::Index& SimFolder::Stamps()
{
    if (!heldIndex_)
        heldIndex_ = ReadIndex();
    return *heldIndex_;
}

SimFolder::Index SimFolder::ReadIndex() const
{
    Index stamps(names_);
    std::ifstream in(folder_ / kIndexName, std::ios::binary);
    std::string line, key;
    SimStamp stamp;
    while (std::getline(in, line)) {
        if (ParseIndexLine(line, key, stamp))
            stamps[key] = stamp;
    }
    return stamps;
}

bool SimFolder::WriteIndex(const Index& Stamps) const
{
    std::string text;
    for (const auto& [key, stamp] : Stamps) {
        text += key + '\t' + std::to_string(stamp.Attributes);
        for (const uint32_t time : stamp.Times)
            text += '\t' + std::to_string(time);
        text += '\n';
    }
    std::error_code ec;
    const fs::path temporary = folder_ / kIndexTemporary;
    fs::remove(temporary, ec);
    if (!WriteNewFile(temporary, text))
        return false;
    fs::rename(temporary, folder_ / kIndexName, ec);
    return !ec;
}

template <typename Change>
bool SimFolder::UpdateIndex(Change&& Apply)
{
    Index stamps = Stamps();
    Apply(stamps);
    if (!WriteIndex(stamps))
        return false;
    heldIndex_ = std::move(stamps);
    return true;
}

std::optional<SimEntry> SimFolder::Look(const SimPath& Path)
{
    if (Path.empty())
        return SimEntry {"", true, 0, SimStamp {0x10, {0, 0, 0}}};
    const std::optional<Located> found = Locate(Path);
    std::error_code ec;
    const fs::directory_entry host(found ? found->Host : fs::path(), ec);
    if (!found || ec || !host.exists(ec))
        return std::nullopt;
    return Describe(host, DeviceName(found->Host.filename().string()), found->Key, Stamps());
}

bool SimFolder::List(const SimPath& Dir, std::vector<SimEntry>& Entries)
{
    const std::optional<Located> dir = Locate(Dir);
    std::error_code ec;
    if (!dir || !fs::is_directory(dir->Host, ec))
        return false;
    // In byte order, so that of host names that name one entry the same one
    // shows each time.
    std::map<std::string, fs::directory_entry> hosts;
    for (fs::directory_iterator it(dir->Host, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string host = it->path().filename().string();
        if (!IsOwnName(host))
            hosts.emplace(std::move(host), *it);
    }
    if (ec)
        return false;
    const Index& stamps = Stamps();
    std::map<std::string, SimEntry, NameLess> shown(names_);
    for (const auto& [host, entry] : hosts) {
        std::string name = DeviceName(host);
        if (!shown.count(name))
            shown.emplace(name, Describe(entry, name, dir->Key + "/" + host, stamps));
    }
    Entries.clear();
    Entries.reserve(shown.size());
    for (auto& [name, entry] : shown)
        Entries.push_back(std::move(entry));
    return true;
}

bool SimFolder::Read(const SimPath& File, const std::function<void(std::string_view)>& Use)
{
    const std::optional<Located> file = Locate(File);
    std::error_code ec;
    if (!file || !fs::is_regular_file(file->Host, ec))
        return false;
    const std::uintmax_t size = fs::file_size(file->Host, ec);
    std::ifstream in(file->Host, std::ios::binary);
    if (ec || !in)
        return false;
    std::string data(static_cast<size_t>(size), '\0');
    in.read(data.data(), static_cast<std::streamsize>(size));
    if (static_cast<std::uintmax_t>(in.gcount()) != size)
        return false;
    Use(data);
    return true;
}

bool SimFolder::MakeDir(const SimPath& Dir, uint32_t Time)
{
    const std::optional<Located> place = PlaceOf(Dir);
    std::error_code ec;
    if (!place || !fs::create_directory(place->Host, ec))
        return false;
    return UpdateIndex([&](Index& Stamps) { Stamps[place->Key] = SimStamp {0x10, {Time, Time, Time}}; });
}

namespace {

// Whether Key is Prefix or an entry below it, names compared by Names.
bool KeyWithin(const std::string& Key, const std::string& Prefix, const NameLess& Names)
{
    if (Key.size() < Prefix.size() || (Key.size() > Prefix.size() && Key[Prefix.size()] != '/'))
        return false;
    return Names.Same(Key.substr(0, Prefix.size()), Prefix);
}

}  // namespace

bool SimFolder::Remove(const SimPath& Path)
{
    const std::optional<Located> found = Path.empty() ? std::nullopt : Locate(Path);
    std::error_code ec;
    if (!found || fs::remove_all(found->Host, ec) == static_cast<std::uintmax_t>(-1) || ec)
        return false;
    return UpdateIndex([&](Index& Stamps) {
        for (auto stamp = Stamps.begin(); stamp != Stamps.end();)
            stamp = KeyWithin(stamp->first, found->Key, names_) ? Stamps.erase(stamp) : std::next(stamp);
    });
}

bool SimFolder::Move(const SimPath& From, const SimPath& To)
{
    const std::optional<Located> from = From.empty() ? std::nullopt : Locate(From);
    const std::optional<Located> to = PlaceOf(To);
    std::error_code ec;
    if (!from || !to)
        return false;
    fs::rename(from->Host, to->Host, ec);
    if (ec)
        return false;
    return UpdateIndex([&](Index& Stamps) {
        Index moved(names_);
        for (auto stamp = Stamps.begin(); stamp != Stamps.end();) {
            if (KeyWithin(stamp->first, from->Key, names_)) {
                moved[to->Key + stamp->first.substr(from->Key.size())] = stamp->second;
                stamp = Stamps.erase(stamp);
            } else {
                ++stamp;
            }
        }
        for (auto& [key, stamp] : moved)
            Stamps[key] = stamp;
    });
}

bool SimFolder::Write(const SimPath& File, const std::string& Data, const SimStamp& Stamp)
{
    const std::optional<Located> place = PlaceOf(File);
    if (!place)
        return false;
    std::error_code ec;
    const fs::path temporary = place->Host.parent_path() / kWriteTemporary;
    fs::remove(temporary, ec);
    if (!WriteNewFile(temporary, Data))
        return false;
    fs::rename(temporary, place->Host, ec);
    if (ec) {
        fs::remove(temporary, ec);
        return false;
    }
    return UpdateIndex([&](Index& Stamps) { Stamps[place->Key] = Stamp; });
}

bool SimFolder::SeedDemoTree(SimStore& Files)
{
    const auto hold = Files.HoldFor(true);
    const uint32_t when = SimFileSystem::PackTime(2024, 3, 15, 10, 20, 30);
    bool complete = hold != nullptr;
    const auto file = [&](const std::string& Path, const std::string& Data, uint8_t Attributes) {
        complete = Files.Write(Split(Path), Data, SimStamp {Attributes, {when, when, when}}) && complete;
    };
    const auto dir = [&](const std::string& Name) { complete = Files.MakeDir({Name}, when) && complete; };
    file("/README.TXT", "zq.keeper data buffer (simulated)\r\nLogs are in /logs, settings in /config.\r\n", 0x21);
    dir("config");
    file("/config/settings.ini", "[capture]\r\nrate=1000\r\nchannels=4\r\n", 0x20);
    dir("logs");
    std::string log;
    for (int i = 0; i < 200; ++i)
        log += "2024-03-15 10:" + std::to_string(10 + i / 60) + ":" + std::to_string(10 + i % 50) +
               " sample " + std::to_string(i) + " value " + std::to_string((i * 37) % 1000) + "\r\n";
    file("/logs/2024-03-15.log", log, 0x20);
    std::string samples(6000, '\0');
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<char>((i * 13) & 0xFF);
    file("/logs/samples.bin", samples, 0x20);
    file("/hidden.sys", "system area", 0x23);
    return complete;
}

}  // namespace zqk::sim
