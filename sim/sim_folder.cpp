#include "sim/sim_folder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

namespace zqk::sim {

namespace fs = std::filesystem;

const char* const SimFolder::kIndexName = ".zqk-sim-index";

namespace {

struct Stamp {
    uint8_t attributes;
    uint32_t times[3];
};

std::map<std::string, Stamp> ReadIndex(const fs::path& file)
{
    std::map<std::string, Stamp> index;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string path, attr, t0, t1, t2;
        if (std::getline(fields, path, '\t') && std::getline(fields, attr, '\t') && std::getline(fields, t0, '\t') &&
            std::getline(fields, t1, '\t') && std::getline(fields, t2, '\t')) {
            index[path] = {static_cast<uint8_t>(std::strtoul(attr.c_str(), nullptr, 10)),
                           {static_cast<uint32_t>(std::strtoul(t0.c_str(), nullptr, 10)),
                            static_cast<uint32_t>(std::strtoul(t1.c_str(), nullptr, 10)),
                            static_cast<uint32_t>(std::strtoul(t2.c_str(), nullptr, 10))}};
        }
    }
    return index;
}

std::string ReadWhole(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void LoadDir(const fs::path& dir, const std::string& hostPath, SimNode& node,
             const std::map<std::string, Stamp>& index, uint32_t now)
{
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name == SimFolder::kIndexName || name.rfind(".zqk-", 0) == 0)
            continue;
        const std::string path = hostPath + "/" + name;
        SimNode& child = ChildNamed(node, SimFolder::DeviceName(name));
        child.IsDir = entry.is_directory(ec);
        child.Attributes = child.IsDir ? 0x10 : 0x20;
        child.Times[0] = child.Times[1] = child.Times[2] = now;
        const auto stamp = index.find(path);
        if (stamp != index.end()) {
            child.Attributes = stamp->second.attributes;
            std::copy(stamp->second.times, stamp->second.times + 3, child.Times);
        }
        if (child.IsDir)
            LoadDir(entry.path(), path, child, index, now);
        else
            child.Data = ReadWhole(entry.path());
    }
}

bool SameContents(const fs::path& file, const std::string& data)
{
    std::error_code ec;
    return fs::is_regular_file(file, ec) && fs::file_size(file, ec) == data.size() && ReadWhole(file) == data;
}

bool SaveDir(const fs::path& dir, const std::string& hostPath, const SimNode& node, std::ostream& index)
{
    std::error_code ec;
    bool ok = true;
    // Host entries the device no longer has go first; the folder's own
    // files (".zqk-", the device lock's among them) stay.
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(".zqk-", 0) == 0)
            continue;
        const auto child = node.Children.find(SimFolder::DeviceName(name));
        if (child == node.Children.end() || child->second.IsDir != entry.is_directory(ec) ||
            SimFolder::HostName(child->first) != name)
            fs::remove_all(entry.path(), ec);
    }
    for (const auto& [name, child] : node.Children) {
        const std::string hostName = SimFolder::HostName(name);
        const fs::path host = dir / hostName;
        const std::string path = hostPath + "/" + hostName;
        index << path << '\t' << int(child.Attributes) << '\t' << child.Times[0] << '\t' << child.Times[1] << '\t'
              << child.Times[2] << '\n';
        if (child.IsDir) {
            fs::create_directories(host, ec);
            ok = SaveDir(host, path, child, index) && ok;
        } else if (!SameContents(host, child.Data)) {
            std::ofstream out(host, std::ios::binary | std::ios::trunc);
            out.write(child.Data.data(), static_cast<std::streamsize>(child.Data.size()));
            ok = static_cast<bool>(out) && ok;
        }
    }
    return ok;
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

}  // namespace

std::string SimFolder::HostName(const std::string& DeviceName)
{
    std::string host;
    for (size_t i = 0; i < DeviceName.size(); ++i) {
        const auto c = static_cast<unsigned char>(DeviceName[i]);
        if (HeldAsItIs(c, i + 1 == DeviceName.size())) {
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

bool SimFolder::Load(SimFileSystem& Files)
{
    std::error_code ec;
    const fs::path dir(folder_);
    if (!fs::exists(dir, ec)) {
        if (!fs::create_directories(dir, ec))
            return false;
        Files.Root().Children.clear();
        SeedDemoTree(Files);
        return Save(Files);
    }
    if (!fs::is_directory(dir, ec))
        return false;
    Files.Root().Children.clear();
    LoadDir(dir, "", Files.Root(), ReadIndex(dir / kIndexName), Files.PackedNow());
    return true;
}

bool SimFolder::Save(const SimFileSystem& Files) const
{
    std::error_code ec;
    const fs::path dir(folder_);
    fs::create_directories(dir, ec);
    std::ostringstream index;
    bool ok = SaveDir(dir, "", Files.Root(), index);
    const fs::path temporary = dir / ".zqk-index.tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << index.str();
        ok = static_cast<bool>(out) && ok;
    }
    fs::rename(temporary, dir / kIndexName, ec);
    return ok && !ec;
}

void SimFolder::SeedDemoTree(SimFileSystem& Files)
{
    const uint32_t when = SimFileSystem::PackTime(2024, 3, 15, 10, 20, 30);
    auto stamp = [&](const std::string& path, uint8_t attributes) {
        SimNode* node = Files.Find(path);
        node->Attributes = attributes;
        node->Times[0] = node->Times[1] = node->Times[2] = when;
    };
    Files.PutFile("/README.TXT", "zq.keeper data buffer (simulated)\r\nLogs are in /logs, settings in /config.\r\n");
    stamp("/README.TXT", 0x21);
    Files.MakeDir("/config");
    stamp("/config", 0x10);
    Files.PutFile("/config/settings.ini", "[capture]\r\nrate=1000\r\nchannels=4\r\n");
    stamp("/config/settings.ini", 0x20);
    Files.MakeDir("/logs");
    stamp("/logs", 0x10);
    std::string log;
    for (int i = 0; i < 200; ++i)
        log += "2024-03-15 10:" + std::to_string(10 + i / 60) + ":" + std::to_string(10 + i % 50) +
               " sample " + std::to_string(i) + " value " + std::to_string((i * 37) % 1000) + "\r\n";
    Files.PutFile("/logs/2024-03-15.log", log);
    stamp("/logs/2024-03-15.log", 0x20);
    std::string samples(6000, '\0');
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<char>((i * 13) & 0xFF);
    Files.PutFile("/logs/samples.bin", samples);
    stamp("/logs/samples.bin", 0x20);
    Files.PutFile("/hidden.sys", "system area");
    stamp("/hidden.sys", 0x23);
}

}  // namespace zqk::sim
