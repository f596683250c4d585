// The file-system exports against the simulated device's file system.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#ifndef _WIN32
#include <sys/sysmacros.h>
#endif
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "api/library.h"
#include "link/device_lock.h"
#include "files/date_time.h"
#include "support/child_process.h"
#include "support/library_fixture.h"
#include "zqkAPI.h"

namespace zqk {
namespace {

namespace fs = std::filesystem;

using testing::kPrompt;

struct Progress {
    int32_t position, total;
    bool operator==(const Progress& o) const { return position == o.position && total == o.total; }
};
std::vector<Progress> g_progress;
std::function<void()> g_onProgress;

void ZQK_CALL RecordProgress(int32_t user, int32_t position, int32_t total)
{
    EXPECT_EQ(user, 77);
    g_progress.push_back({position, total});
    if (g_onProgress)
        g_onProgress();
}

using rig::ReadFile;
using rig::WriteFile;

std::string AllByteValues(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return data;
}

class ApiFilesTest : public testing::SimLibraryTest {
protected:
    void SetUp() override
    {
        SimLibraryTest::SetUp();
        keeper_.Files.PackedNow = [] { return sim::SimFileSystem::PackTime(2024, 3, 15, 10, 20, 30); };
        keeper_.Files.MakeDir("/docs");
        keeper_.Files.PutFile("/docs/a b.txt", "hello", 0x21);
        keeper_.Files.PutFile("/readme.txt", "read me");
        g_progress.clear();
        g_onProgress = nullptr;
        zqkSetCallback(RecordProgress, 77);
        ASSERT_EQ(zqkOpen(), 1);
    }

    void TearDown() override
    {
        zqkSetCallback(nullptr, 0);
        g_onProgress = nullptr;
        SimLibraryTest::TearDown();
    }

    std::string Local(const std::string& name) const { return scratch_.Local(name); }

    std::string EntryName(int32_t index)
    {
        char name[256];
        return zqkGetDirEntry(index, name, sizeof name, nullptr, nullptr, nullptr) >= 0 ? name : "?";
    }

    // The command lines the device ran, without the escape that starts each.
    const std::vector<std::string>& Lines() { return terminal_.Lines(); }

    rig::ScratchFolder scratch_ {"files_test"};
    const fs::path& dir_ = scratch_.Path();
};

// ---- listing ----

TEST_F(ApiFilesTest, ListsADirectoryAndItsEntries)
{
    ASSERT_EQ(zqkDir("/docs"), 1);
    char name[64];
    int32_t size = 0, attributes = 0, time = 0;
    EXPECT_EQ(zqkGetDirEntry(0, name, sizeof name, &size, &attributes, &time), 7);
    EXPECT_STREQ(name, "a b.txt");
    EXPECT_EQ(size, 5);
    EXPECT_EQ(attributes, 0x21);
    EXPECT_EQ(time, 1710498030);
    char text[32];
    EXPECT_EQ(zqkDateToText(time, text, sizeof text), 19);
    EXPECT_STREQ(text, "2024-03-15 10:20:30");
    EXPECT_EQ(zqkAttrToText(attributes, text, sizeof text), 2);
    EXPECT_STREQ(text, "AR");
    EXPECT_EQ(Lines().back(), "NFDIR @\"/docs\"");
}

TEST_F(ApiFilesTest, RootListingHoldsFilesAndDirectories)
{
    ASSERT_EQ(zqkDir(""), 2);
    EXPECT_EQ(EntryName(0), "docs");
    EXPECT_EQ(EntryName(1), "readme.txt");
    int32_t attributes = 0;
    zqkGetDirEntry(0, nullptr, 0, nullptr, &attributes, nullptr);
    EXPECT_EQ(attributes, 0x10);
}

TEST_F(ApiFilesTest, EmptyDirectoryListsNoEntries)
{
    keeper_.Files.MakeDir("/empty");
    EXPECT_EQ(zqkDir("/empty"), 0);
    EXPECT_EQ(zqkGetDirEntry(0, nullptr, 0, nullptr, nullptr, nullptr), -1);
}

TEST_F(ApiFilesTest, EntryOutOfRangeWritesNothing)
{
    ASSERT_EQ(zqkDir("/docs"), 1);
    char name[8] = "kept";
    int32_t size = -9, attributes = -9, time = -9;
    for (int32_t index : {-1, 1, 1000}) {
        EXPECT_EQ(zqkGetDirEntry(index, name, sizeof name, &size, &attributes, &time), -1);
        EXPECT_STREQ(name, "kept");
        EXPECT_EQ(size, -9);
        EXPECT_EQ(attributes, -9);
        EXPECT_EQ(time, -9);
    }
}

TEST_F(ApiFilesTest, EntryNameTooLongStillGivesTheNumbers)
{
    ASSERT_EQ(zqkDir("/docs"), 1);
    char name[4] = "xyz";
    int32_t size = 0, attributes = 0, time = 0;
    EXPECT_EQ(zqkGetDirEntry(0, name, sizeof name, &size, &attributes, &time), -8);
    EXPECT_STREQ(name, "xyz");
    EXPECT_EQ(size, 5);
    EXPECT_EQ(attributes, 0x21);
    EXPECT_EQ(time, 1710498030);
}

TEST_F(ApiFilesTest, NamesGoWithUnderscoresWhenTheDeviceTakesNoQuotes)
{
    zqkClose();
    keeper_.SetQuotedNames(false);
    ASSERT_EQ(zqkOpen(), 1);
    keeper_.Files.MakeDir("/my_dir");
    EXPECT_EQ(zqkDir("/my dir"), 0);
    EXPECT_EQ(Lines().back(), "NFDIR @/my_dir");
    EXPECT_EQ(zqkDirMake("/my dir/new one"), 0);
    EXPECT_EQ(Lines().back(), "NFMKDIR /my_dir/new_one");
    EXPECT_EQ(zqkRename("/my dir/new one", "/x y"), 0);
    EXPECT_EQ(Lines().back(), "NFRENAME /my_dir/new_one /x_y");
}

TEST_F(ApiFilesTest, NamesGoInQuotesWhenTheDeviceTakesThem)
{
    EXPECT_EQ(zqkDirMake("/my dir"), 0);
    EXPECT_EQ(Lines().back(), "NFMKDIR \"/my dir\"");
    EXPECT_EQ(zqkRename("/my dir", "/your dir"), 0);
    EXPECT_EQ(Lines().back(), "NFRENAME \"/my dir\" \"/your dir\"");
    EXPECT_NE(keeper_.Files.Find("/your dir"), nullptr);
}

TEST_F(ApiFilesTest, ListingSkipsLinesBeforeTheHeader)
{
    terminal_.Echo = true;
    ASSERT_EQ(zqkDir("/docs"), 1) << "the echo of the command comes before the header";
    EXPECT_EQ(EntryName(0), "a b.txt");
    terminal_.Echo = false;
    terminal_.AddCommand("NFDIR", [this](const std::string&) {
        terminal_.Print("line one\r\nline two\r\nDirectory of /x\r\nf\t1\t32\t0\t0\t0\r\n\r\n" + kPrompt);
    });
    ASSERT_EQ(zqkDir("/x"), 1);
    EXPECT_EQ(EntryName(0), "f");
}

TEST_F(ApiFilesTest, PromptGluedToTheLastEntryBecomesAnUnreadableLine)
{
    terminal_.AddCommand("NFDIR", [this](const std::string&) {
        terminal_.Print("Directory of /\r\nf\t1\t32\t0\t0\t0\r\n" + kPrompt);
    });
    ASSERT_EQ(zqkDir("/"), 2);
    EXPECT_EQ(EntryName(0), "f");
    EXPECT_EQ(zqkGetDirEntry(1, nullptr, 0, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(zqkCommand("echo next", nullptr, 0, 1000), -7) << "the terminal is clean for the next command";
}

TEST_F(ApiFilesTest, ListingOfMoreThan100000LinesOrTooLongAPreambleFails)
{
    const auto lines = [](const char* text, int count) {
        std::string all;
        for (int i = 0; i < count; ++i)
            all += text;
        return all;
    };
    terminal_.AddCommand("NFDIR", [&](const std::string&) {
        terminal_.Print("Directory of /\r\n" + lines("f.txt\t1\t0x20\r\n", 100001) + "\r\n");
        terminal_.ShowPrompt();
    });
    EXPECT_EQ(zqkDir("/"), -1);
    terminal_.AddCommand("NFDIR", [&](const std::string&) {
        terminal_.Print(lines("not yet\r\n", 5000) + "Directory of /\r\nf.txt\t1\t0x20\r\n\r\n");
        terminal_.ShowPrompt();
    });
    EXPECT_EQ(zqkDir("/"), -1);
    EXPECT_GT(device_.QueuedInputs(), 0u) << "waited for the header through 5000 lines";
    terminal_.AddCommand("NFDIR", [&](const std::string&) {
        terminal_.Print(std::string(20000000, 'x'));  // one line without end
        terminal_.ShowPrompt();
    });
    EXPECT_EQ(zqkDir("/"), -1);
    EXPECT_GT(device_.QueuedInputs(), 0u) << "read a line of 20 MB";
}

TEST_F(ApiFilesTest, EntryWithoutDateShowsAs2036)
{
    terminal_.AddCommand("NFDIR", [this](const std::string&) {
        terminal_.Print("Directory of /\r\na b.txt\t123\t32\t0\t0\t0\r\nx\r\n\r\n" + kPrompt);
    });
    ASSERT_EQ(zqkDir("/"), 2);
    int32_t size = 0, attributes = 0, time = 0;
    char name[16];
    EXPECT_EQ(zqkGetDirEntry(0, name, sizeof name, &size, &attributes, &time), 7);
    EXPECT_EQ(size, 123);
    EXPECT_EQ(attributes, 32);
    EXPECT_EQ(time, 2085805696);
    char text[32];
    zqkDateToText(time, text, sizeof text);
    EXPECT_STREQ(text, "2036-02-05 06:28:16");
    EXPECT_EQ(zqkGetDirEntry(1, name, sizeof name, &size, nullptr, nullptr), -1) << "no size field";
}

TEST_F(ApiFilesTest, FailedListingOfClosedDeviceKeepsThePreviousOne)
{
    ASSERT_EQ(zqkDir("/docs"), 1);
    zqkClose();
    EXPECT_EQ(zqkDir("/"), -1);
    EXPECT_EQ(EntryName(0), "a b.txt");
}

TEST_F(ApiFilesTest, ListingOfAMissingDirectoryFailsAndEmptiesTheList)
{
    ASSERT_EQ(zqkDir("/docs"), 1);
    EXPECT_EQ(zqkDir("/nowhere"), -1);
    EXPECT_EQ(zqkGetDirEntry(0, nullptr, 0, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(zqkDir("/docs"), 1) << "and the next command works";
}

TEST_F(ApiFilesTest, ListingFailsWhileAnotherProcessHoldsTheDeviceLock)
{
    testing::ChildProcess holder(LOCK_HOLDER_PATH, Lib().Comms.DeviceLockName() + " hold 1600");
    ASSERT_EQ(holder.ReadLine(), "locked");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(zqkDir("/docs"), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));
    EXPECT_TRUE(device_.HostPackets().empty());
    // Another program's conversation is no reason to keep this program's
    // transport: it goes on whatever this program holds.
    EXPECT_EQ(zqkClose(), 0);
    EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_OK);
    EXPECT_EQ(zqkIsOpen(), 0);
    EXPECT_EQ(holder.Wait(), 0);
}

// ---- make, remove, delete, rename ----

TEST_F(ApiFilesTest, ChangesAreJudgedByTheDevicesAnswer)
{
    EXPECT_EQ(zqkDirMake("/new"), 0);
    EXPECT_EQ(zqkDirMake("/new"), -1) << "exists";
    EXPECT_EQ(zqkDirMake("/no/such/parent"), -1);
    EXPECT_EQ(zqkFileDelete("/readme.txt"), 0);
    EXPECT_EQ(zqkFileDelete("/readme.txt"), -1);
    EXPECT_EQ(zqkFileDelete("/docs/a b.txt"), -1) << "read-only";
    EXPECT_EQ(zqkRename("/docs", "/papers"), 0);
    EXPECT_EQ(zqkRename("/docs", "/elsewhere"), -1);
    EXPECT_EQ(zqkDirRemove("/papers"), 0);
    EXPECT_EQ(zqkDirRemove("/papers"), -1);
    EXPECT_EQ(Lines().back(), "NFWIPEDIR \"/papers\"");
    ASSERT_EQ(zqkDir("/"), 1);
    EXPECT_EQ(EntryName(0), "new");
}

TEST_F(ApiFilesTest, DirectoryCannotMoveIntoItself)
{
    EXPECT_EQ(zqkRename("/docs", "/docs/inner"), -1);
    EXPECT_EQ(zqkRename("/DOCS", "/docs/a b.txt/x"), -1);
    ASSERT_EQ(zqkDir("/docs"), 1);
    EXPECT_EQ(EntryName(0), "a b.txt");
}

TEST_F(ApiFilesTest, SuccessIsNoErrorAnywhereInTheAnswer)
{
    terminal_.AddCommand("NFDEL", [this](const std::string&) {
        terminal_.PrintLine("10:No error");
        terminal_.ShowPrompt();
    });
    EXPECT_EQ(zqkFileDelete("x"), 0);
    terminal_.AddCommand("NFDEL", [this](const std::string&) {
        terminal_.PrintLine("3:No such file");
        terminal_.ShowPrompt();
    });
    EXPECT_EQ(zqkFileDelete("x"), -1);
}

TEST_F(ApiFilesTest, EachChangeWaitsItsOwnTime)
{
    // An answer that comes too late is stale output for the next command;
    // each failure below lets it arrive and reads it away.
    char late[64];
    keeper_.Files.SetAnswerDelay(15000);
    EXPECT_EQ(zqkDirRemove("/docs"), 0) << "remove waits 20 s";
    keeper_.Files.PutFile("/x.txt", "x");
    EXPECT_EQ(zqkFileDelete("/x.txt"), 0) << "delete waits 20 s";
    keeper_.Files.SetAnswerDelay(3000);
    EXPECT_EQ(zqkDirMake("/late"), -1) << "make waits 2 s";
    EXPECT_GT(zqkFlushPrompt(late, sizeof late, 5000), 0);
    keeper_.Files.SetAnswerDelay(1900);
    EXPECT_EQ(zqkDirMake("/in time"), 0);
    keeper_.Files.SetAnswerDelay(1500);
    EXPECT_EQ(zqkRename("/readme.txt", "/r.txt"), -1) << "rename waits 1 s";
    EXPECT_GT(zqkFlushPrompt(late, sizeof late, 5000), 0);
    keeper_.Files.SetAnswerDelay(900);
    EXPECT_EQ(zqkRename("/r.txt", "/r2.txt"), 0);
}

TEST_F(ApiFilesTest, ClosedDeviceChangesNothing)
{
    zqkClose();
    EXPECT_EQ(zqkDirMake("/a"), -1);
    EXPECT_EQ(zqkDirRemove("/docs"), -1);
    EXPECT_EQ(zqkFileDelete("/readme.txt"), -1);
    EXPECT_EQ(zqkRename("/readme.txt", "/b"), -1);
    EXPECT_TRUE(device_.HostPackets().empty());
}

// ---- transfers ----

class TransferSizes : public ApiFilesTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(TransferSizes, RoundTripThroughTheDevice)
{
    const std::string data = AllByteValues(GetParam());
    WriteFile(Local("in.bin"), data);
    EXPECT_EQ(zqkFileWrite(Local("in.bin").c_str(), "/docs/data.bin"), static_cast<int32_t>(data.size()));
    if (!data.empty()) {
        ASSERT_NE(keeper_.Files.Find("/docs/data.bin"), nullptr);
        EXPECT_EQ(keeper_.Files.Find("/docs/data.bin")->Data, data);
    } else {
        keeper_.Files.PutFile("/docs/data.bin", "");
    }
    EXPECT_EQ(zqkFileRead("/docs/data.bin", Local("out.bin").c_str()), static_cast<int32_t>(data.size()));
    EXPECT_EQ(ReadFile(Local("out.bin")), data);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TransferSizes,
                         ::testing::Values(0, 1, 61, 4095, 4096, 4097, 10000, 1 << 20));

TEST_F(ApiFilesTest, WriteReportsProgressPerBlockThenTheEnd)
{
    WriteFile(Local("in.bin"), std::string(10000, 'w'));
    EXPECT_EQ(zqkFileWrite(Local("in.bin").c_str(), "/w.bin"), 10000);
    EXPECT_EQ(g_progress, (std::vector<Progress> {{4096, 10000}, {8192, 10000}, {10000, 10000}, {-1, -1}}));
}

TEST_F(ApiFilesTest, ReadReportsProgressPerBlockThenTheEnd)
{
    keeper_.Files.PutFile("/r.bin", std::string(5000, 'r'));
    EXPECT_EQ(zqkFileRead("/r.bin", Local("r.bin").c_str()), 5000);
    EXPECT_EQ(g_progress, (std::vector<Progress> {{4096, 5000}, {5000, 5000}, {-1, -1}}));
}

TEST_F(ApiFilesTest, WriteCommandCarriesNameSizeAndMode)
{
    zqkClose();
    keeper_.SetQuotedNames(false);
    ASSERT_EQ(zqkOpen(), 1);
    WriteFile(Local("5.txt"), "12345");
    EXPECT_EQ(zqkFileWrite(Local("5.txt").c_str(), "a b.txt"), 5);
    EXPECT_EQ(Lines().back(), "NFWRITE a_b.txt\t5\tw");
    ASSERT_NE(keeper_.Files.Find("a_b.txt"), nullptr);
    EXPECT_EQ(keeper_.Files.Find("a_b.txt")->Data, "12345");
}

TEST_F(ApiFilesTest, WriteWithTimeStampCarriesItPacked)
{
    const double when = EncodeDateTime({2021, 7, 4, 12, 30, 44, 0});
    ASSERT_TRUE(Lib().Files.FileWrite("/t.txt", "dated", when));
    const uint32_t packed = sim::SimFileSystem::PackTime(2021, 7, 4, 12, 30, 44);
    EXPECT_EQ(Lines().back(), "NFWRITE \"/t.txt\"\t5\t" + std::to_string(packed) + "\tw");
    ASSERT_EQ(zqkDir("/"), 3);
    int32_t time = 0;
    zqkGetDirEntry(2, nullptr, 0, nullptr, nullptr, &time);
    EXPECT_EQ(time, DateTimeToUnix(when));
}

TEST_F(ApiFilesTest, DeviceBreakingAWriteOffFailsIt)
{
    const std::string longAnswer = "9:Write error\r\n" + kPrompt + std::string(250, ' ');
    keeper_.Files.SetWriteBreakOff(5000, longAnswer);
    WriteFile(Local("in.bin"), std::string(10000, 'w'));
    EXPECT_EQ(zqkFileWrite(Local("in.bin").c_str(), "/w.bin"), -2);
    EXPECT_EQ(g_progress, (std::vector<Progress> {{4096, 10000}, {-1, -1}}));
    EXPECT_EQ(keeper_.Files.Find("/w.bin"), nullptr);
    EXPECT_EQ(zqkDir("/docs"), 1) << "the next command works";
}

TEST_F(ApiFilesTest, ShortDeviceOutputDuringAWriteDoesNotStopIt)
{
    keeper_.Files.SetWriteBreakOff(5000, "note" + kPrompt);
    WriteFile(Local("in.bin"), std::string(10000, 'w'));
    EXPECT_EQ(zqkFileWrite(Local("in.bin").c_str(), "/w.bin"), 10000);
}

TEST_F(ApiFilesTest, FirmwareLoadSendsImageUnderItsLowerCaseName)
{
    const std::string image = AllByteValues(10000);
    fs::create_directories(dir_ / "FW");
    WriteFile(dir_ / "FW" / "Main Image.BIN", image);
    EXPECT_EQ(zqkFirmwareUpdate((dir_ / "FW" / "Main Image.BIN").string().c_str()), 10000);
    EXPECT_EQ(Lines().back(), "LOAD 10000 main image.bin");
    EXPECT_EQ(keeper_.Files.FirmwareImage, image);
    EXPECT_EQ(g_progress.back(), (Progress {-1, -1}));
    EXPECT_EQ(g_progress.size(), 4u);
}

TEST_F(ApiFilesTest, OneByteOfOutputDuringAFirmwareLoadFailsIt)
{
    keeper_.Files.SetLoadBreakOff(100);
    WriteFile(Local("fw.bin"), std::string(10000, 'f'));
    EXPECT_EQ(zqkFirmwareUpdate(Local("fw.bin").c_str()), -2);
    EXPECT_EQ(g_progress, (std::vector<Progress> {{-1, -1}}));
    EXPECT_EQ(keeper_.Files.FirmwareLoads, 0);
    keeper_.Files.ClearFaults();
    EXPECT_EQ(zqkFirmwareUpdate(Local("fw.bin").c_str()), 10000) << "the next load works";
}

TEST_F(ApiFilesTest, QuickAnswerAfterTheLastBlockIsNotABreakOff)
{
    WriteFile(Local("fw.bin"), std::string(4096, 'f'));
    EXPECT_EQ(zqkFirmwareUpdate(Local("fw.bin").c_str()), 4096);
    EXPECT_EQ(keeper_.Files.FirmwareLoads, 1);
}

TEST_F(ApiFilesTest, EmptyLocalFilesSendNothing)
{
    WriteFile(Local("empty"), "");
    EXPECT_EQ(zqkFileWrite(Local("empty").c_str(), "/e"), 0);
    EXPECT_EQ(zqkFirmwareUpdate(Local("empty").c_str()), 0);
    EXPECT_TRUE(device_.HostPackets().empty());
    EXPECT_TRUE(g_progress.empty());
}

TEST_F(ApiFilesTest, UnreadableLocalFilesAreReportedAsSuch)
{
    EXPECT_EQ(zqkFileWrite(Local("missing").c_str(), "/m"), ZQK_LOCAL_FILE_UNREADABLE);
    EXPECT_EQ(zqkFirmwareUpdate(Local("missing").c_str()), ZQK_LOCAL_FILE_UNREADABLE);
    EXPECT_EQ(zqkFileWrite(nullptr, "/m"), ZQK_LOCAL_FILE_UNREADABLE);
    EXPECT_TRUE(device_.HostPackets().empty());
}

TEST_F(ApiFilesTest, EmptyDeviceFileGivesAnEmptyLocalFile)
{
    keeper_.Files.PutFile("/empty", "");
    WriteFile(Local("out"), "old contents");
    EXPECT_EQ(zqkFileRead("/empty", Local("out").c_str()), 0);
    EXPECT_EQ(ReadFile(Local("out")), "");
    EXPECT_EQ(g_progress, (std::vector<Progress> {{-1, -1}}));
}

TEST_F(ApiFilesTest, ReadCutShortLeavesTheLocalFileUntouched)
{
    keeper_.Files.PutFile("/big", std::string(10000, 'b'));
    keeper_.Files.SetReadStall(4096, 0);
    WriteFile(Local("out"), "old contents");
    EXPECT_EQ(zqkFileRead("/big", Local("out").c_str()), -2);
    EXPECT_EQ(ReadFile(Local("out")), "old contents");
    EXPECT_EQ(g_progress, (std::vector<Progress> {{4096, 10000}, {-1, -1}}));
}

TEST_F(ApiFilesTest, ReadSurvivesAPauseShorterThanTwoSeconds)
{
    keeper_.Files.PutFile("/big", std::string(10000, 'b'));
    keeper_.Files.SetReadStall(5000, 1900);
    EXPECT_EQ(zqkFileRead("/big", Local("out").c_str()), 10000);
}

TEST_F(ApiFilesTest, ReadOfMissingDeviceFileDoesNotSpoilTheNextTransfer)
{
    WriteFile(Local("out"), "old contents");
    EXPECT_EQ(zqkFileRead("/missing", Local("out").c_str()), -2);
    EXPECT_TRUE(g_progress.empty()) << "a refusal reports nothing";
    EXPECT_EQ(ReadFile(Local("out")), "old contents");
    EXPECT_EQ(zqkFileRead("/readme.txt", Local("out").c_str()), 7);
    EXPECT_EQ(ReadFile(Local("out")), "read me");
}

TEST_F(ApiFilesTest, RefusedWriteDoesNotSpoilTheNextTransfer)
{
    WriteFile(Local("in"), "data");
    EXPECT_EQ(zqkFileWrite(Local("in").c_str(), "/no/such/dir/f"), -2);
    EXPECT_EQ(zqkFileWrite(Local("in").c_str(), "/f"), 4);
    ASSERT_NE(keeper_.Files.Find("/f"), nullptr);
    EXPECT_EQ(keeper_.Files.Find("/f")->Data, "data");
}

TEST_F(ApiFilesTest, LocalFileThatCannotBeWrittenKeepsWhatWasThere)
{
    EXPECT_EQ(zqkFileRead("/readme.txt", Local("no/such/dir/out").c_str()), -1);
    fs::create_directories(dir_ / "a directory");
    EXPECT_EQ(zqkFileRead("/readme.txt", Local("a directory").c_str()), -1);
    EXPECT_TRUE(fs::is_directory(dir_ / "a directory"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1)
        << "no partial file is left beside it";
}

#ifndef _WIN32
// Every thread shares the umask, so the library must never set it: the
// calls are counted here, in place of the C library's, for the test below.
std::atomic<int> g_umaskCalls {0};

}  // namespace
}  // namespace zqk

extern "C" mode_t umask(mode_t Mask)
{
    ++zqk::g_umaskCalls;
    return static_cast<mode_t>(syscall(SYS_umask, Mask));
}

namespace zqk {
namespace {

TEST_F(ApiFilesTest, LocalFilesGetTheUmasksModeOrKeepTheirOwnAndTheUmaskIsLeftAlone)
{
    const mode_t before = umask(027);
    g_umaskCalls = 0;
    EXPECT_EQ(zqkFileRead("/readme.txt", Local("new").c_str()), 7);
    EXPECT_EQ(fs::status(Local("new")).permissions(), fs::perms(0640)) << "0666 less the umask";
    WriteFile(Local("old"), "old contents");
    ASSERT_EQ(::chmod(Local("old").c_str(), 0604), 0);
    EXPECT_EQ(zqkFileRead("/readme.txt", Local("old").c_str()), 7);
    EXPECT_EQ(fs::status(Local("old")).permissions(), fs::perms(0604)) << "a replaced file keeps its mode";
    EXPECT_EQ(g_umaskCalls, 0) << "the umask was changed, for every thread of the process";
    umask(before);
}

// The kernel's random generator as it is right after boot, before it is
// seeded: a call that may not wait is told to try again later, and one that
// would wait (getrandom without GRND_NONBLOCK, getentropy, arc4random, and
// through them std::random_device where the processor has no random
// instruction) is counted, in place of the C library's functions, and then
// served.
std::atomic<bool> g_entropyUnseeded {false};
std::atomic<int> g_entropyWaits {0};

ssize_t ServeEntropy(void* Buffer, size_t Length, unsigned int Flags)
{
    if (g_entropyUnseeded && (Flags & GRND_NONBLOCK)) {
        errno = EAGAIN;
        return -1;
    }
    if (g_entropyUnseeded)
        ++g_entropyWaits;
    return static_cast<ssize_t>(syscall(SYS_getrandom, Buffer, Length, Flags));
}

}  // namespace
}  // namespace zqk

extern "C" ssize_t getrandom(void* Buffer, size_t Length, unsigned int Flags)
{
    return zqk::ServeEntropy(Buffer, Length, Flags);
}

extern "C" int getentropy(void* Buffer, size_t Length)
{
    return zqk::ServeEntropy(Buffer, Length, 0) == static_cast<ssize_t>(Length) ? 0 : -1;
}

extern "C" void arc4random_buf(void* Buffer, size_t Length) noexcept
{
    zqk::ServeEntropy(Buffer, Length, 0);
}

extern "C" uint32_t arc4random() noexcept
{
    uint32_t bits = 0;
    arc4random_buf(&bits, sizeof bits);
    return bits;
}

namespace zqk {
namespace {

TEST_F(ApiFilesTest, AReadIntoALocalFileNeverWaitsForTheKernelsRandomGenerator)
{
    g_entropyUnseeded = true;
    g_entropyWaits = 0;
    EXPECT_EQ(zqkFileRead("/readme.txt", Local("first").c_str()), 7);
    EXPECT_EQ(zqkFileRead("/readme.txt", Local("first").c_str()), 7) << "replaced under a name of the clock's";
    g_entropyUnseeded = false;
    EXPECT_EQ(ReadFile(Local("first")), "read me");
    EXPECT_EQ(g_entropyWaits, 0) << "a call that waits until the kernel's random generator is seeded";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1) << "no temporary file left";
}

// A copy keeps its source's time: the one given is the one listed, also
// past 2038 (the 32 bits read as unsigned, as listings give them).
TEST_F(ApiFilesTest, WriteAtGivesTheFileTheTimeAsListingsShowIt)
{
    const int32_t handle = OpenHandle(keeper_);
    ASSERT_GT(handle, 0);
    WriteFile(Local("in"), "dated");
    for (const int64_t when : {int64_t {1710498030}, int64_t {2208988800}}) {  // 2024-03-15, 2040-01-01
        const auto bits = static_cast<int32_t>(static_cast<uint32_t>(when));
        ASSERT_EQ(zqkDevFileWriteAt(handle, Local("in").c_str(), "/dated.txt", bits), 5);
        ASSERT_EQ(zqkDevDir(handle, "/"), 3);
        int32_t time = 0;
        char name[32];
        for (int32_t i = 0; i < 3; ++i) {
            if (zqkDevGetDirEntry(handle, i, name, sizeof name, nullptr, nullptr, &time) > 0 &&
                std::string(name) == "dated.txt")
                break;
        }
        EXPECT_EQ(static_cast<uint32_t>(time), static_cast<uint32_t>(when)) << when;
    }
}

// A target that is no regular file is written as it is, never replaced by
// one: as root, a read into /dev/null had put a regular file in its place.
TEST_F(ApiFilesTest, ATargetThatIsNoRegularFileIsWrittenNotReplaced)
{
    WriteFile(Local("real"), "old");
    fs::create_symlink(Local("real"), Local("link"));
    EXPECT_EQ(zqkFileRead("/readme.txt", Local("link").c_str()), 7);
    EXPECT_TRUE(fs::is_symlink(Local("link"))) << "the link is kept";
    EXPECT_EQ(ReadFile(Local("real")), "read me");
    if (::mknod(Local("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        EXPECT_EQ(zqkFileRead("/readme.txt", Local("null").c_str()), 7);
        EXPECT_TRUE(fs::is_character_file(Local("null"))) << "a device node became a regular file";
    }
    fs::create_directory(Local("folder"));
    EXPECT_EQ(zqkFileRead("/readme.txt", Local("folder").c_str()), -1);
    EXPECT_EQ(zqkLastStatus(), ZQK_STATUS_LOCAL_FILE);
}
#endif

TEST_F(ApiFilesTest, DeviceHeaderWithoutTabOrSizeFailsTheRead)
{
    terminal_.AddCommand("NFTYPE", [this](const std::string&) {
        terminal_.PrintLine("x");
        terminal_.ShowPrompt();
    });
    EXPECT_EQ(zqkFileRead("/x", Local("out").c_str()), -2);
    terminal_.AddCommand("NFTYPE", [this](const std::string&) {
        terminal_.PrintLine("x\tmany");
        terminal_.ShowPrompt();
    });
    EXPECT_EQ(zqkFileRead("/x", Local("out").c_str()), -2);
    EXPECT_TRUE(g_progress.empty());
    EXPECT_FALSE(fs::exists(Local("out")));
}

TEST_F(ApiFilesTest, DeviceHeaderDecidesHowManyBytesAreRead)
{
    terminal_.AddCommand("NFTYPE", [this](const std::string&) {
        terminal_.Print("x\t10\r\n0123456789");
        terminal_.ShowPrompt();
    });
    EXPECT_EQ(zqkFileRead("/x", Local("out").c_str()), 10);
    EXPECT_EQ(ReadFile(Local("out")), "0123456789");
    EXPECT_EQ(g_progress, (std::vector<Progress> {{10, 10}, {-1, -1}}));
}

TEST_F(ApiFilesTest, AbsurdSizeInTheHeaderFailsWhenTheDataStops)
{
    terminal_.AddCommand("NFTYPE", [this](const std::string&) { terminal_.Print("x\t2000000000\r\nonly this"); });
    EXPECT_EQ(zqkFileRead("/x", Local("out").c_str()), -2);
    terminal_.AddCommand("NFTYPE", [this](const std::string&) {
        terminal_.Print("x\t-5\r\n");
        terminal_.ShowPrompt();
    });
    EXPECT_EQ(zqkFileRead("/x", Local("out").c_str()), 0) << "nothing to read";
    terminal_.AddCommand("NFTYPE", [this](const std::string&) {
        terminal_.Print("x\t2000000000\r\n" + std::string(5000, 'd'));
    });
    std::string contents;
    EXPECT_FALSE(Lib().Files.FileRead("/x", contents));
    EXPECT_LE(contents.capacity(), size_t {8} << 20) << "room taken for what the device only announced";
}

TEST_F(ApiFilesTest, FileOperationsFromAProgressCallbackFail)
{
    std::vector<int32_t> nested;
    g_onProgress = [&] {
        if (!nested.empty())
            return;
        nested.push_back(zqkDir("/docs"));
        nested.push_back(zqkFileWrite(Local("in.bin").c_str(), "/other"));
        nested.push_back(zqkFileRead("/readme.txt", Local("x").c_str()));
        nested.push_back(zqkDirMake("/d"));
        nested.push_back(zqkCommand("echo x", nullptr, 0, 100));
    };
    const std::string data = AllByteValues(10000);
    WriteFile(Local("in.bin"), data);
    EXPECT_EQ(zqkFileWrite(Local("in.bin").c_str(), "/w.bin"), 10000);
    EXPECT_EQ(nested, (std::vector<int32_t> {-1, -2, -2, -1, -1}));
    ASSERT_NE(keeper_.Files.Find("/w.bin"), nullptr);
    EXPECT_EQ(keeper_.Files.Find("/w.bin")->Data, data) << "the transfer was not disturbed";
    EXPECT_EQ(keeper_.Files.Find("/other"), nullptr);
    nested.clear();
    EXPECT_EQ(zqkFileRead("/w.bin", Local("back.bin").c_str()), 10000);
    EXPECT_EQ(ReadFile(Local("back.bin")), data);
}

TEST_F(ApiFilesTest, TransfersOnAClosedDeviceFail)
{
    zqkClose();
    WriteFile(Local("in"), "data");
    EXPECT_EQ(zqkFileWrite(Local("in").c_str(), "/f"), -2);
    EXPECT_EQ(zqkFileRead("/readme.txt", Local("out").c_str()), -2);
    EXPECT_EQ(zqkFirmwareUpdate(Local("in").c_str()), -2);
    EXPECT_FALSE(fs::exists(Local("out")));
    EXPECT_TRUE(g_progress.empty());
}

TEST_F(ApiFilesTest, DeviceUnpluggedDuringAWriteFailsIt)
{
    WriteFile(Local("in"), std::string(20000, 'u'));
    g_onProgress = [this] { device_.Unplug(); };
    EXPECT_EQ(zqkFileWrite(Local("in").c_str(), "/f"), -2);
    EXPECT_EQ(zqkIsOpen(), 0);
    // Plugged in again it waits for nothing: no zero bytes are owed to it.
    EXPECT_EQ(DeviceLock(testing::TestLockName()).Owed().What, OwedTransfer::Kind::None);
}

TEST_F(ApiFilesTest, QuoteNamesFollowsString204AtEachOpen)
{
    EXPECT_TRUE(Lib().Files.QuoteNames);
    keeper_.SetQuotedNames(false);
    EXPECT_EQ(zqkOpen(), 1) << "already open: string 204 is read again";
    EXPECT_FALSE(Lib().Files.QuoteNames);
    zqkClose();
    EXPECT_FALSE(Lib().Files.QuoteNames) << "kept while closed";
}

}  // namespace
}  // namespace zqk
