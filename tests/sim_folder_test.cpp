// The simulated device's files in a host folder: names the host cannot hold
// go there encoded and come back as they were, and a device made
// case-sensitive keeps names that differ only in case apart.
#include <gtest/gtest.h>

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

namespace zqk::sim {
namespace {

namespace fs = std::filesystem;

class SimFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("zqk_sim_folder_" + zqk::testing::TestLockName());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::set<std::string> HostNames() const
    {
        std::set<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir_)) {
            const std::string name = entry.path().filename().string();
            if (name != SimFolder::kIndexName)
                names.insert(name);
        }
        return names;
    }

    static std::set<std::string> Names(const SimNode& Dir)
    {
        std::set<std::string> names;
        for (const auto& child : Dir.Children)
            names.insert(child.first);
        return names;
    }

    void HostFile(const std::string& Name, const std::string& Data) const
    {
        std::ofstream(dir_ / Name, std::ios::binary) << Data;
    }

    fs::path dir_;
    ManualClock clock_;
};

TEST_F(SimFolderTest, NamesTheHostCannotHoldAreKeptEncodedAndComeBackAsTheyWere)
{
    const std::set<std::string> names = {"../x", "a/b", "c\\d", std::string("ctl\x01z"), "50%", "ends.",
                                         "what?", "..", "plain name.txt"};
    SimKeeper keeper(clock_);
    for (const std::string& name : names)
        ChildNamed(keeper.Files.Root(), name).Data = "data of " + name;
    SimFolder folder(dir_.string());
    ASSERT_TRUE(folder.Save(keeper.Files));
    EXPECT_EQ(HostNames(), (std::set<std::string> {"..%2Fx", "a%2Fb", "c%5Cd", "ctl%01z", "50%25", "ends%2E",
                                                   "what%3F", ".%2E", "plain name.txt"}));

    SimKeeper again(clock_);
    ASSERT_TRUE(folder.Load(again.Files));
    ASSERT_EQ(Names(again.Files.Root()), names);
    for (const std::string& name : names)
        EXPECT_EQ(again.Files.Root().Children.at(name).Data, "data of " + name);
    // What is not a well-formed escape stays as it is.
    EXPECT_EQ(SimFolder::DeviceName("100%zz%4"), "100%zz%4");
}

TEST_F(SimFolderTest, NamesDifferingOnlyInCaseAreOneEntryUnlessTheDeviceTellsCaseApart)
{
    HostFile("Case.txt", "one");
    HostFile("CASE.TXT", "two");
    if (std::distance(fs::directory_iterator(dir_), fs::directory_iterator {}) < 2)
        GTEST_SKIP() << "the host's folder does not tell case apart (Windows), so it cannot hold both";
    SimKeeper fat(clock_);
    ASSERT_TRUE(SimFolder(dir_.string()).Load(fat.Files));
    EXPECT_EQ(fat.Files.Root().Children.size(), 1u);

    SimPathOptions options;
    std::string problem;
    ASSERT_TRUE(ParseSimPath("sim:" + dir_.string() + "?names=case", options, problem)) << problem;
    ASSERT_TRUE(options.CaseSensitiveNames);
    SimKeeper keeper(clock_);
    keeper.Files.SetCaseSensitiveNames(true);
    ASSERT_TRUE(SimFolder(dir_.string()).Load(keeper.Files));
    EXPECT_EQ(Names(keeper.Files.Root()), (std::set<std::string> {"CASE.TXT", "Case.txt"}));
    ASSERT_NE(keeper.Files.Find("/Case.txt"), nullptr);
    ASSERT_NE(keeper.Files.Find("/CASE.TXT"), nullptr);
    EXPECT_EQ(keeper.Files.Find("/Case.txt")->Data, "one");
    EXPECT_EQ(keeper.Files.Find("/CASE.TXT")->Data, "two");
    EXPECT_EQ(keeper.Files.Find("/case.txt"), nullptr);
    // Folders made later compare as the root does.
    ASSERT_TRUE(keeper.Files.MakeDir("/sub"));
    ASSERT_TRUE(keeper.Files.PutFile("/sub/a", "1"));
    ASSERT_TRUE(keeper.Files.PutFile("/sub/A", "2"));
    EXPECT_EQ(keeper.Files.Find("/sub")->Children.size(), 2u);

    EXPECT_FALSE(ParseSimPath("sim:" + dir_.string() + "?names=odd", options, problem));
    EXPECT_NE(problem.find("names=case|nocase"), std::string::npos) << problem;
}

}  // namespace
}  // namespace zqk::sim
