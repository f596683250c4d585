// The simulated device's files in a host folder: names the host cannot hold
// go there encoded and come back as they were, a device made case-sensitive
// keeps names that differ only in case apart, and every program that opens
// the folder sees the others' changes.
#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "sim/manual_clock.h"
#include "sim/sim_folder.h"
#include "sim/sim_keeper.h"
#include "sim/sim_path_device.h"
#include "support/library_fixture.h"
#include "zqkAPI.h"

namespace zqk::sim {
namespace {

namespace fs = std::filesystem;

class SimFolderTest : public zqk::testing::SimLibraryTest {
protected:
    // The host names of the folder's entries (not the simulator's own).
    std::set<std::string> HostNames(const fs::path& Folder = {}) const
    {
        std::set<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(Folder.empty() ? dir_ : Folder)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(".zqk-", 0) != 0)
                names.insert(name);
        }
        return names;
    }

    static bool Write(SimStore& Store, const SimPath& File, const std::string& Data)
    {
        const auto hold = Store.HoldFor(true);
        return hold && Store.Write(File, Data, SimStamp {});
    }

    static std::set<std::string> Names(SimStore& Store, const SimPath& Dir)
    {
        const auto hold = Store.HoldFor(false);
        std::vector<SimEntry> entries;
        EXPECT_TRUE(hold && Store.List(Dir, entries));
        std::set<std::string> names;
        for (const SimEntry& entry : entries)
            names.insert(entry.Name);
        return names;
    }

    static std::string Contents(SimStore& Store, const SimPath& File)
    {
        const auto hold = Store.HoldFor(false);
        std::string contents = "(none)";
        Store.Read(File, [&](std::string_view Data) { contents = Data; });
        return contents;
    }

    void HostFile(const std::string& Name, const std::string& Data) const
    {
        std::ofstream(dir_ / Name, std::ios::binary) << Data;
    }

    // The names of a folder as a handle's listing shows them.
    static std::set<std::string> Listed(int32_t Handle, const std::string& Path)
    {
        std::set<std::string> names;
        const int32_t count = zqkDevDir(Handle, Path.c_str());
        for (int32_t i = 0; i < count; ++i) {
            char name[256];
            if (zqkDevGetDirEntry(Handle, i, name, sizeof name, nullptr, nullptr, nullptr) >= 0)
                names.insert(name);
        }
        return names;
    }

    rig::ScratchFolder scratch_ {"sim_folder"};
    const fs::path& dir_ = scratch_.Path();
};

// Two handles on one folder are two programs with the device open: each
// change reaches the folder without undoing the other's.
TEST_F(SimFolderTest, TwoOpenersOfOneFolderSeeEachOthersChangesAndUndoNone)
{
    const std::string device = "sim:" + (dir_ / "device").string();
    const int32_t one = zqkDevOpen(device.c_str());
    const int32_t two = zqkDevOpen(device.c_str());
    ASSERT_GT(one, 0);
    ASSERT_GT(two, 0);
    const std::string local = (dir_ / "local.bin").string();
    std::ofstream(local, std::ios::binary) << "written by one";

    EXPECT_EQ(zqkDevDirMake(one, "/made by one"), 0);
    EXPECT_EQ(zqkDevDirMake(two, "/made by two"), 0);
    EXPECT_EQ(zqkDevFileWrite(one, local.c_str(), "/logs/one.txt"), 14);
    EXPECT_EQ(zqkDevRename(two, "/README.TXT", "/readme by two.txt"), 0);

    EXPECT_TRUE(fs::is_directory(dir_ / "device" / "made by one"));
    EXPECT_TRUE(fs::is_directory(dir_ / "device" / "made by two"));
    EXPECT_TRUE(fs::is_regular_file(dir_ / "device" / "logs" / "one.txt"));
    EXPECT_EQ(Listed(one, "/"), (std::set<std::string> {"config", "hidden.sys", "logs", "made by one",
                                                          "made by two", "readme by two.txt"}));
    EXPECT_EQ(Listed(two, "/logs"), (std::set<std::string> {"2024-03-15.log", "one.txt", "samples.bin"}));
    const std::string copy = (dir_ / "copy.bin").string();
    ASSERT_EQ(zqkDevFileRead(two, "/logs/one.txt", copy.c_str()), 14);
    std::ifstream in(copy, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "written by one");
    EXPECT_EQ(zqkDevClose(one), 0);
    EXPECT_EQ(zqkDevClose(two), 0);
}

// Host names starting ".zqk-" are the simulator's own files; device names
// like them are entries as any other.
TEST_F(SimFolderTest, DeviceNamesLikeTheSimulatorsOwnFilesAreKeptAndComeBack)
{
    const fs::path folder = dir_ / "device";
    const std::string device = "sim:" + folder.string();
    const std::string local = (dir_ / "local.bin").string();
    std::ofstream(local, std::ios::binary) << "not the index";
    const std::set<std::string> names = {".zqk-sim-index", ".zqk-lock", ".ZQK-notes"};
    const int32_t writer = zqkDevOpen(device.c_str());
    ASSERT_GT(writer, 0);
    for (const std::string& name : names)
        EXPECT_EQ(zqkDevFileWrite(writer, local.c_str(), ("/" + name).c_str()), 13) << name;
    EXPECT_EQ(zqkDevClose(writer), 0);
    for (const char* host : {"%2Ezqk-sim-index", "%2Ezqk-lock", "%2EZQK-notes"})
        EXPECT_EQ(HostNames(folder).count(host), 1u) << host;

    const int32_t reader = zqkDevOpen(device.c_str());  // a program that opens it later
    ASSERT_GT(reader, 0);
    std::set<std::string> listed = Listed(reader, "/");
    for (const std::string& name : names)
        EXPECT_EQ(listed.count(name), 1u) << name;
    const std::string copy = (dir_ / "copy.bin").string();
    ASSERT_EQ(zqkDevFileRead(reader, "/.zqk-sim-index", copy.c_str()), 13);
    std::ifstream in(copy, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not the index");
    EXPECT_EQ(zqkDevClose(reader), 0);
}

// The library hands USB strings back in the locale's encoding (on Windows
// the ANSI code page); a serial number given in it comes back as it was.
TEST_F(SimFolderTest, ASerialNumberBeyondAsciiComesBackAsItWasGiven)
{
    const std::string previous = std::setlocale(LC_CTYPE, nullptr);
    std::setlocale(LC_CTYPE, "C.UTF-8");  // no such locale on Windows, whose code page serves
    const std::string serial = "ZQK-\xC3\xA9";  // e acute in UTF-8, two letters in code page 1252
    const int32_t handle = zqkDevOpen(("sim:" + dir_.string() + "?serial=" + serial).c_str());
    ASSERT_GT(handle, 0);
    char text[64] = "";
    EXPECT_EQ(zqkDevUsbDetail(handle, 0, text, sizeof text), static_cast<int32_t>(serial.size()));
    EXPECT_EQ(text, serial);
    EXPECT_EQ(zqkDevClose(handle), 0);
    std::setlocale(LC_CTYPE, previous.c_str());
}

TEST_F(SimFolderTest, NamesTheHostCannotHoldAreKeptEncodedAndComeBackAsTheyWere)
{
    const std::set<std::string> names = {"../x", "a/b", "c\\d", std::string("ctl\x01z"), "50%", "ends.",
                                         "what?", "..", "plain name.txt"};
    SimFolder folder(dir_);
    for (const std::string& name : names)
        ASSERT_TRUE(Write(folder, {name}, "data of " + name));
    EXPECT_EQ(HostNames(), (std::set<std::string> {"..%2Fx", "a%2Fb", "c%5Cd", "ctl%01z", "50%25", "ends%2E",
                                                   "what%3F", ".%2E", "plain name.txt"}));

    SimFolder again(dir_);
    ASSERT_EQ(Names(again, {}), names);
    for (const std::string& name : names)
        EXPECT_EQ(Contents(again, {name}), "data of " + name);
    // What is not a well-formed escape stays as it is.
    EXPECT_EQ(SimFolder::DeviceName("100%zz%4"), "100%zz%4");
}

TEST_F(SimFolderTest, NamesDifferingOnlyInCaseAreOneEntryUnlessTheDeviceTellsCaseApart)
{
    HostFile("Case.txt", "one");
    HostFile("CASE.TXT", "two");
    if (std::distance(fs::directory_iterator(dir_), fs::directory_iterator {}) < 2)
        GTEST_SKIP() << "the host's folder does not tell case apart (Windows), so it cannot hold both";
    SimFolder fat(dir_);
    EXPECT_EQ(Names(fat, {}).size(), 1u);
    EXPECT_EQ(Contents(fat, {"case.TXT"}), "two") << "the first host name in byte order";

    SimPathOptions options;
    std::string problem;
    ASSERT_TRUE(ParseSimPath("sim:" + dir_.string() + "?names=case", options, problem)) << problem;
    ASSERT_TRUE(options.CaseSensitiveNames);
    SimKeeper keeper(clock_);
    SimFolder folder(dir_, NameLess {true});
    keeper.Files.UseStore(folder);
    EXPECT_EQ(Names(folder, {}), (std::set<std::string> {"CASE.TXT", "Case.txt"}));
    EXPECT_EQ(Contents(folder, {"Case.txt"}), "one");
    EXPECT_EQ(Contents(folder, {"CASE.TXT"}), "two");
    EXPECT_FALSE(folder.Look({"case.txt"}));
    // Folders made later compare as the root does.
    ASSERT_TRUE(keeper.Files.MakeDir("/sub"));
    ASSERT_TRUE(keeper.Files.PutFile("/sub/a", "1"));
    ASSERT_TRUE(keeper.Files.PutFile("/sub/A", "2"));
    EXPECT_EQ(Names(folder, {"sub"}), (std::set<std::string> {"A", "a"}));

    EXPECT_FALSE(ParseSimPath("sim:" + dir_.string() + "?names=odd", options, problem));
    EXPECT_NE(problem.find("names=case|nocase"), std::string::npos) << problem;
}

}  // namespace
}  // namespace zqk::sim
