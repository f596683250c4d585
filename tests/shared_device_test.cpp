// Several processes on one device, on the simulated device and the test
// clock. A device opened by several processes sends every input report to
// each of them (hidraw and the Windows HID driver both do), so whatever a
// process's turn with the device produced also waits in every other
// process's input. Each "process" here is a link, terminal and file system of
// its own, with a device lock object of its own under one shared name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "api/library.h"
#include "files/files.h"
#include "link/comms.h"
#include "base/failure_note.h"
#include "sim/manual_clock.h"
#include "sim/sim_keeper.h"
#include "sim/sim_report_device.h"
#include "support/library_fixture.h"
#include "terminal/terminal.h"

namespace zqk {
namespace {

// One device seen through several opens: each view receives every input
// report the device sends from the moment it is made.
class SharedDevice {
public:
    SharedDevice(sim::SimDevice& Device, Clock& TimeSource) : device_(Device, TimeSource)
    {
        device_.Open(-1, -1, -1, -1);
    }

    class View final : public ReportDevice {
    public:
        explicit View(SharedDevice& Shared, LockPlace Place = {}) : shared_(Shared), place_(std::move(Place))
        {
            shared_.views_.push_back(this);
        }
        ~View() override
        {
            auto& views = shared_.views_;
            views.erase(std::remove(views.begin(), views.end(), this), views.end());
        }

        bool Open(int32_t, int32_t, int32_t, int32_t) override { return open_ = true; }
        void Close() override { open_ = false; }
        bool IsOpen() const override { return open_; }
        int32_t ReadReport(uint8_t* Buffer, int32_t Count, int32_t TimeoutMs) override
        {
            if (!open_)
                return -1;
            if (received_.empty())
                shared_.Pump(TimeoutMs);
            if (received_.empty())
                return -1;
            const std::vector<uint8_t> report = std::move(received_.front());
            received_.pop_front();
            const auto n = std::min<int32_t>(Count, static_cast<int32_t>(report.size()));
            std::memcpy(Buffer, report.data(), static_cast<size_t>(n));
            return n;
        }
        int32_t WriteReport(const uint8_t* Buffer, int32_t Count, int32_t TimeoutMs) override
        {
            return open_ ? shared_.device_.WriteReport(Buffer, Count, TimeoutMs) : -1;
        }
        std::u16string GetManufacturerString() override { return {}; }
        std::u16string GetProductString() override { return u"zq.keeper"; }
        std::u16string GetSerialNumberString() override { return {}; }
        std::u16string GetIndexedString(int32_t) override { return {}; }
        std::string DevicePath() const override { return "shared"; }
        LockPlace LockedAt() const override { return place_; }
        int32_t LastError() const override { return 0; }
        bool ReadPending() const override { return false; }

        size_t Waiting() const { return received_.size(); }

    private:
        friend class SharedDevice;
        SharedDevice& shared_;
        const LockPlace place_;
        bool open_ = false;
        std::deque<std::vector<uint8_t>> received_;
    };

private:
    // Takes what the device sends, waiting up to TimeoutMs for the first
    // report, and hands a copy to every view.
    void Pump(int32_t TimeoutMs)
    {
        uint8_t report[kPacketSize];
        for (int32_t wait = TimeoutMs;; wait = 0) {
            const int32_t n = device_.ReadReport(report, kPacketSize, wait);
            if (n <= 0)
                return;
            for (View* view : views_)
                view->received_.emplace_back(report, report + n);
        }
    }

    sim::SimReportDevice device_;
    std::vector<View*> views_;
};

// What one process of the library has: its link, terminal and file system.
struct Process {
    Process(SharedDevice& Device, Clock& TimeSource, const std::string& LockName, const LockPlace& Place = {})
        : view(new SharedDevice::View(Device, Place)),
          comms(std::unique_ptr<ReportDevice>(view), TimeSource, LockName),
          terminal(comms),
          files(terminal)
    {
        terminal.SetPrompt(TzqTerminal::kDefaultPrompt);
        comms.Open();
    }

    // A command as zqkCommand runs it: lock, stale output flushed, the line
    // sent, the output up to the prompt.
    std::string Command(const std::string& Line)
    {
        if (!comms.Lock(1000))
            return "(busy)";
        FlushBeforeCommand(terminal);
        terminal.SendLine(Line);
        std::string output;
        terminal.WaitPrompt(1000, output);
        comms.Unlock();
        return output;
    }

    SharedDevice::View* view;  // owned by comms
    TzqComms comms;
    TzqTerminal terminal;
    TzqkFiles files;
};

class SharedDeviceTest : public ::testing::Test {
protected:
    // What the host sent the device on channel 0 since it was last asked.
    std::string SentSinceAsked()
    {
        std::string sent;
        for (const Packet& packet : keeper_.Device.HostPackets()) {
            const char* data = reinterpret_cast<const char*>(packet.data()) + kPacketHeaderSize;
            if (packet[0] == 0)
                sent.append(data, PacketDataLength(packet.data()));
        }
        keeper_.Device.ForgetHostPackets();
        return sent;
    }

    sim::ManualClock clock_;
    sim::SimKeeper keeper_ {clock_};
    SharedDevice device_ {keeper_.Device, clock_};
    const std::string lockName_ = testing::TestLockName("shared");
    Process a_ {device_, clock_, lockName_};
    Process b_ {device_, clock_, lockName_};
};

TEST_F(SharedDeviceTest, EachProcessGetsItsOwnAnswersAfterTheOtherRanSeveralCommands)
{
    EXPECT_EQ(a_.Command("echo a1"), "a1\r\n");
    for (const char* line : {"echo b1", "echo b2", "echo b3"})
        EXPECT_EQ(b_.Command(line), std::string(line + 5) + "\r\n");
    EXPECT_GT(a_.view->Waiting(), 0u) << "every answer reached both processes";
    EXPECT_EQ(a_.Command("echo a2"), "a2\r\n");
    EXPECT_EQ(b_.Command("echo b4"), "b4\r\n");
}

TEST_F(SharedDeviceTest, AnotherProcessesListingDoesNotAnswerTheNextCommand)
{
    ASSERT_TRUE(b_.files.DirMake("/made by b"));
    std::vector<std::string> lines;
    ASSERT_TRUE(b_.files.Dir("/", lines));  // two prompts: the escape's and the listing's
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(a_.Command("echo mine"), "mine\r\n");
}

TEST_F(SharedDeviceTest, AnotherProcessesTransferDoesNotAnswerThisOnesRead)
{
    const std::string contents(3000, '\x5A');
    ASSERT_TRUE(b_.files.FileWrite("/b.bin", contents));
    std::string got;
    ASSERT_TRUE(b_.files.FileRead("/b.bin", got));
    ASSERT_EQ(got, contents);
    ASSERT_TRUE(a_.files.FileWrite("/a.bin", "the bytes of a"));
    ASSERT_TRUE(a_.files.FileRead("/a.bin", got));
    EXPECT_EQ(got.substr(0, 100), "the bytes of a");
}

TEST_F(SharedDeviceTest, OutputPolledWhileAnotherProcessHeldTheLockIsDropped)
{
    ASSERT_TRUE(b_.comms.Lock(0));
    b_.terminal.SendLine("echo for b");
    b_.terminal.SendLine("echo for b again");
    EXPECT_TRUE(a_.comms.Poll(10)) << "a program may poll without the lock";
    std::string output, again;
    b_.terminal.WaitPrompt(1000, output);
    b_.terminal.WaitPrompt(1000, again);
    b_.comms.Unlock();
    ASSERT_EQ(output + again, "for b\r\nfor b again\r\n");
    EXPECT_EQ(a_.Command("echo for a"), "for a\r\n");
}

TEST_F(SharedDeviceTest, TerminalOutputLeftPendingGoesWithTheInputDroppedAfterAnotherProcessesTurn)
{
    const std::string prompt = TzqTerminal::kDefaultPrompt;
    ASSERT_TRUE(a_.comms.Lock(0));
    keeper_.Device.Send(0, "old" + prompt + "older" + prompt);  // one packet
    std::string first;
    a_.terminal.ReadChars(1, 100, first);
    a_.comms.Unlock();
    ASSERT_EQ(first, "o");
    ASSERT_GT(a_.terminal.PendingSize(), prompt.size()) << "more than one prompt is left";
    EXPECT_EQ(b_.Command("echo b"), "b\r\n");
    EXPECT_EQ(a_.Command("echo a"), "a\r\n");
}

TEST_F(SharedDeviceTest, WhatTheDeviceStillSendsForAHolderThatDiedDoesNotAnswerTheNextCommand)
{
    std::string contents(6000, '\0');
    for (size_t i = 0; i < contents.size(); ++i)
        contents[i] = static_cast<char>(i * 7);  // 0xBB included
    ASSERT_TRUE(b_.files.FileWrite("/big.bin", contents));
    keeper_.Device.SetPacing(1);  // one report per ms, as the device's endpoint
    std::thread([&] {
        ASSERT_TRUE(b_.comms.Lock(0));
        b_.terminal.SendLine("\x1BNFTYPE @/big.bin");
    }).join();  // the thread ends holding the lock, as a process that was killed
    EXPECT_EQ(a_.Command("echo a").substr(0, 40), "a\r\n");
}

// A transfer whose data stops short leaves the device waiting for the rest,
// which would take the next command for data. Whoever takes the lock next
// completes it with zero bytes and undoes what it made.
TEST_F(SharedDeviceTest, AWriteCutShortByAClosedDeviceIsCompletedAndItsFileDeletedByTheNextHolder)
{
    b_.files.OnProgress = [&](TzqkFiles&, int32_t, int32_t) { b_.comms.Close(); };
    b_.files.QuoteNames = true;
    EXPECT_FALSE(b_.files.FileWrite("/cut short.bin", std::string(10000, 'c')));
    EXPECT_EQ(a_.Command("echo a"), "a\r\n");
    EXPECT_EQ(keeper_.Files.Find("/cut short.bin"), nullptr) << "a file that looks complete but is not";
    EXPECT_EQ(a_.terminal.RecoveryNote(),
              "completed a write cut short by the holder before with 5904 zero bytes; "
              "NFDEL \"/cut short.bin\": 0:No error");
    EXPECT_EQ(a_.Command("echo again"), "again\r\n");
    EXPECT_TRUE(b_.comms.Open());
    EXPECT_EQ(b_.Command("echo b"), "b\r\n");
}

// The undo is an NFDEL, which may take the device as long as any delete.
TEST_F(SharedDeviceTest, TheUndoOfAWriteCutShortIsAwaitedAsLongAsADelete)
{
    b_.files.OnProgress = [&](TzqkFiles&, int32_t, int32_t) { b_.comms.Close(); };
    b_.files.QuoteNames = true;
    EXPECT_FALSE(b_.files.FileWrite("/slow.bin", std::string(10000, 's')));
    keeper_.Files.SetAnswerDelay(15000);  // the answers to commands, not to the data
    EXPECT_EQ(a_.Command("echo a"), "a\r\n");
    EXPECT_EQ(keeper_.Files.Find("/slow.bin"), nullptr);
    EXPECT_EQ(a_.terminal.RecoveryNote(),
              "completed a write cut short by the holder before with 5904 zero bytes; "
              "NFDEL \"/slow.bin\": 0:No error");
}

TEST_F(SharedDeviceTest, AFirmwareLoadCutShortIsCompletedAndSaidSo)
{
    b_.files.OnProgress = [&](TzqkFiles&, int32_t, int32_t) { b_.comms.Close(); };
    EXPECT_FALSE(b_.files.LoadFirmware("fw.bin", std::string(9000, 'f')));
    EXPECT_EQ(a_.Command("echo a"), "a\r\n");
    EXPECT_EQ(keeper_.Files.FirmwareLoads, 1);
    EXPECT_NE(a_.terminal.RecoveryNote().find("firmware load"), std::string::npos) << a_.terminal.RecoveryNote();
    EXPECT_NE(a_.terminal.RecoveryNote().find("incomplete image"), std::string::npos);
}

TEST_F(SharedDeviceTest, AWriteOfAHolderThatDiedIsCompletedByTheNextOne)
{
    std::thread([&] {
        ASSERT_TRUE(b_.comms.Lock(0));
        b_.files.OnProgress = [&](TzqkFiles&, int32_t, int32_t) { b_.comms.Close(); };
        b_.files.FileWrite("/died.bin", std::string(10000, 'd'));
    }).join();  // the thread ends holding the lock, as a process that was killed
    EXPECT_EQ(a_.Command("echo a"), "a\r\n");
    EXPECT_EQ(keeper_.Files.Find("/died.bin"), nullptr);
}

TEST_F(SharedDeviceTest, OutputBetweenTurnsOfTheSameProcessIsKept)
{
    // A program may send with one call and read the answer with another,
    // taking the lock for each: with no other process between, the answer
    // is its own and must stay.
    ASSERT_TRUE(a_.comms.Lock(0));
    a_.terminal.SendLine("echo sent in one turn");
    a_.comms.Unlock();
    EXPECT_TRUE(a_.comms.Poll(10));
    std::string output;
    a_.terminal.WaitPrompt(1000, output);
    EXPECT_EQ(output, "sent in one turn\r\n");
}

// A call into another handle on the same device from inside a turn (from a
// progress callback, say) would interleave the two conversations.
TEST_F(SharedDeviceTest, ASecondLinkOnTheSameDeviceIsRefusedToTheThreadThatHoldsTheFirst)
{
    ASSERT_TRUE(a_.comms.Lock(0));
    TakeFailure();
    EXPECT_FALSE(b_.comms.Lock(0));
    const FailureNote note = TakeFailure();
    EXPECT_EQ(note.Kind, Failure::Busy);
    EXPECT_NE(note.Text.find("holds the device already through another handle"), std::string::npos) << note.Text;
    EXPECT_EQ(b_.comms.LockFailures(), 1);
    a_.comms.Unlock();
    ASSERT_TRUE(b_.comms.Lock(0));
    b_.comms.Unlock();
}

// The next holder takes only what the library itself writes as owed.
TEST_F(SharedDeviceTest, AnOwedRecordOfAnotherFormIsNeitherCompletedNorSent)
{
    using Kind = OwedTransfer::Kind;
    const OwedTransfer rows[] = {
        {Kind::Write, 61, "NFFORMAT"},
        {Kind::Write, 61, "NFDEL \"/x\"\r\x1BNFFORMAT"},
        {Kind::Firmware, 61, "NFDEL /x"},
    };
    for (const OwedTransfer& row : rows) {
        ASSERT_TRUE(b_.comms.Lock(0));
        b_.comms.OweTransfer(row);
        b_.comms.Unlock();  // left owed, as by a holder that was killed
        SentSinceAsked();
        EXPECT_EQ(a_.Command("echo a"), "a\r\n") << row.Undo;
        const std::string sent = SentSinceAsked();
        EXPECT_EQ(sent.find("NF"), std::string::npos) << row.Undo << ": sent " << sent;
        EXPECT_EQ(sent.find(std::string(1, '\0')), std::string::npos) << row.Undo << ": zero bytes sent";
        EXPECT_EQ(a_.terminal.RecoveryNote(), "") << row.Undo;
    }
}

#ifndef _WIN32
// A user who may not use the device made the state beside its node's lock
// first, with a write owed and its undo: neither is taken, and the lock
// keeps the processes apart all the same.
TEST_F(SharedDeviceTest, AnotherUsersStateBesideANodesLockNeitherStopsNorSteers)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "makes a file of another user";
    const std::string node = (std::filesystem::temp_directory_path() / (lockName_ + ".node")).string();
    std::ofstream(node) << "";
    const LockPlace place {node, {}};
    std::string stateFile;
    {
        Process theirs {device_, clock_, lockName_, place};
        stateFile = "/dev/shm/" + theirs.comms.DeviceLockName() + ".state";
        ASSERT_TRUE(theirs.comms.Lock(0));
        theirs.comms.OweTransfer({OwedTransfer::Kind::Write, 3000, "NFDEL \"/theirs.bin\""});
        theirs.comms.Unlock();
    }
    ASSERT_EQ(::chown(stateFile.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(stateFile.c_str(), 0666), 0);
    Process c {device_, clock_, lockName_, place};
    Process d {device_, clock_, lockName_, place};
    SentSinceAsked();
    EXPECT_EQ(c.Command("echo c"), "c\r\n");
    EXPECT_EQ(SentSinceAsked().find("NFDEL"), std::string::npos);
    EXPECT_EQ(c.terminal.RecoveryNote(), "");
    ASSERT_TRUE(c.comms.Lock(0));
    bool taken = true;
    std::thread([&] { taken = d.comms.Lock(0); }).join();
    EXPECT_FALSE(taken);
    c.comms.Unlock();
    EXPECT_EQ(d.Command("echo d"), "d\r\n");
    ::unlink(node.c_str());
}
#endif

}  // namespace
}  // namespace zqk
