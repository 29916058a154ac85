// The port manager: opening the profile's ports on pseudo-terminals, the Tx
// line, the no-reply count and the comms-fail state with its reports, the
// switch to Rx Only, destination lookup and draining received bytes.
#include <gtest/gtest.h>

#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "link/attach.h"
#include "platform/dialog.h"
#include "platform/loop.h"
#include "platform/profile.h"
#include "platform/root.h"
#include "protocols/protocol.h"
#include "routing/tables.h"
#include "serial/comms.h"
#include "serial/ports.h"
#include "platform/debug.h"
#include "shell/shell.h"
#include "tests/support/support.h"
#include "ui/maindlg.h"

namespace {

std::vector<std::string> Lines;
void Capture(const char *line) { Lines.emplace_back(line); }

int Notifications = 0;
WPARAM LastNotified = 0;
LRESULT MainProc(HWND, UINT message, WPARAM wParam, LPARAM)
{
    Notifications += message == WM_COMMNOTIFY;
    if (message == WM_COMMNOTIFY)
        LastNotified = wParam;
    return 0;
}

std::vector<WPARAM> ModesToVek;
LRESULT VekProc(HWND, UINT message, WPARAM wParam, LPARAM)
{
    if (message == 2215)
        ModesToVek.push_back(wParam);
    return 0;
}

LRESULT DialogProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

struct PortsTest : ::testing::Test {
    TempRoot root;
    std::vector<Pty> ptys;

    void SetUp() override
    {
        LoopReset();
        ProfileReset();
        PortsReset();
        ProtocolReset();
        RoutingReset();
        LinkReset();
        ShellReset();
        DialogReset();
        SetRootDirectory(root.dir.c_str());
        Lines.clear();
        ModesToVek.clear();
        Notifications = 0;
        SetDebugSink(Capture);
        Profile.DebugMode = 1;
        Profile.CommErrorLimit = 5;
        Profile.GoRxOnlyOnComFail = -1;
        Shell.DriverId = 7;
        Shell.MainWindow = CreateWindowProc(MainProc, false);
        Link.VekWindow = CreateWindowProc(VekProc, false);
        Dlg.Dialog = CreateWindowProc(DialogProc, false);
    }
    void TearDown() override
    {
        ClosePorts();
        for (int i = 0; i < kCommPorts; ++i)
            CommClose(i);
        for (Pty &p : ptys)
            ClosePty(&p);
        SetDebugSink(nullptr);
        LoopReset();
        DialogReset();
    }
    // Port p on a new pseudo-terminal as COM com; returns the master.
    int PortOnPty(int p, int com, char parity = 'n', int dataBits = 8)
    {
        Pty pty;
        EXPECT_TRUE(OpenPty(&pty));
        ptys.push_back(pty);
        std::string key = "COM" + std::to_string(com);
        WritePrivateProfileString("Serial", key.c_str(), pty.slavePath.c_str(), PathsFile().c_str());
        PortConfig &c = Profile.Ports[p];
        c.Port = com;
        c.Speed = 9600;
        c.DataBits = dataBits;
        c.Parity = parity;
        return pty.master;
    }
    size_t LinesWith(const std::string &text) const
    {
        size_t n = 0;
        for (auto &l : Lines)
            n += l.find(text) != std::string::npos;
        return n;
    }
    static void Transmit(int p, int times)
    {
        const uint8_t frame[2] = {0x55, 0xAA};
        for (int i = 0; i < times; ++i)
            PortTransmit(p, frame, 2);
    }
    static std::string Grid(int id) { return GetDlgItemText(Dlg.Dialog, id); }
};

TEST_F(PortsTest, OpensUsedPortsOnly)
{
    PortOnPty(2, 5);
    Profile.Ports[2].MinDest = 17;
    Profile.Ports[2].MaxDest = 32;
    Profile.Ports[1].Port = 1;  // Speed 0: not used
    Routing.TallyTable[1] = Routing.TallyTable[4095] = 9;
    Routing.LockTable[1] = Routing.LockTable[4095] = 1;
    Proto.RxCount[2] = 12;
    Ports.ErrorCount[2] = 3;
    OpenPorts();
    EXPECT_EQ(Ports.InUse[1], 0);
    EXPECT_EQ(Ports.CommIndex[1], -1);
    EXPECT_EQ(Ports.InUse[2], 1);
    EXPECT_EQ(Ports.CommIndex[2], 4);
    EXPECT_EQ(Proto.NextPoll[2], 17);
    EXPECT_EQ(Proto.RxCount[2], 0);
    EXPECT_EQ(Ports.ErrorCount[2], 0u);
    EXPECT_EQ(Routing.TallyTable[1], 0);
    EXPECT_EQ(Routing.TallyTable[4095], 0);
    EXPECT_EQ(Routing.LockTable[4095], 0);
    EXPECT_EQ(PortByCommIndex(4), 2);
    ClosePorts();
    EXPECT_EQ(Ports.CommIndex[2], -1);
    EXPECT_FALSE(CommTableExists());
}

// A pseudo-terminal keeps no parity or character size of its own (Linux
// forces CS8 and clears PARENB), so parity shows in the input check and the
// odd flag, which it keeps.
TEST_F(PortsTest, ParityLetterReachesTheDevice)
{
    struct Case {
        char parity;
        bool checked;
        bool odd;
    } cases[] = {{'n', false, false}, {'e', true, false}, {'o', true, true}, {'x', false, false}};
    for (const Case &c : cases) {
        int master = PortOnPty(1, 1, c.parity, 7);
        OpenPorts();
        ASSERT_EQ(Ports.CommIndex[1], 0) << c.parity;
        termios t{};
        ASSERT_EQ(tcgetattr(master, &t), 0);  // a master reports its slave's settings
        EXPECT_EQ((t.c_iflag & INPCK) != 0, c.checked) << c.parity;
        EXPECT_EQ((t.c_cflag & PARODD) != 0, c.odd) << c.parity;
        EXPECT_EQ(t.c_cflag & CSTOPB, 0u) << "one stop bit";
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
        ClosePorts();
    }
}

TEST_F(PortsTest, UnopenablePortIsReportedAndFailsItsTransmissions)
{
    Profile.Ports[3].Port = 12;
    Profile.Ports[3].Speed = 9600;
    Profile.Ports[3].DataBits = 8;
    WritePrivateProfileString("Serial", "COM12", root.File("absent").c_str(), PathsFile().c_str());
    OpenPorts();
    EXPECT_EQ(Ports.InUse[3], 1);
    EXPECT_EQ(Ports.CommIndex[3], -1);
    EXPECT_EQ(LinesWith("<WE>-Can't open serial port 12"), 1u);
    Transmit(3, 1);
    EXPECT_EQ(LinesWith("<WE>-Tx Error '0xffffffff' on Port 3"), 1u);
    EXPECT_EQ(Ports.NoReply[3], 1);
    EXPECT_EQ(PortByCommIndex(-1), 0) << "-1 is no library index";
}

TEST_F(PortsTest, TxLineShowsTheFrame)
{
    int master = PortOnPty(1, 1);
    OpenPorts();
    const uint8_t two[] = {0x02, 0xfe};
    PortTransmit(1, two, 2);
    EXPECT_EQ(LinesWith("<WE>-[Port 1] Tx 02 fe\n"), 1u);
    const uint8_t twelve[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    PortTransmit(1, twelve, 12);
    EXPECT_EQ(LinesWith("<WE>-[Port 1] Tx 01 02 03 04 05 06 07 08 09\n"), 1u);
    std::string got;
    while (got.size() < 14 && ReadAvailable(master, &got, 5000) > 0) {
    }
    EXPECT_EQ(got, std::string("\x02\xfe") + std::string(reinterpret_cast<const char *>(twelve), 12));
    EXPECT_EQ(LinesWith("Tx Error"), 0u);
}

TEST_F(PortsTest, ErrorLimitFailAndRecoverySequence)
{
    PortOnPty(1, 1);
    OpenPorts();
    Transmit(1, 4);
    EXPECT_EQ(Ports.ErrorCount[1], 0u);
    EXPECT_EQ(Ports.CommsFail[1], 0);
    Transmit(1, 1);  // the fifth without a reply
    EXPECT_EQ(Ports.CommsFail[1], 1);
    EXPECT_EQ(Ports.ErrorCount[1], 1u);
    EXPECT_EQ(Grid(IDC_STATUS + 1), "Fail");
    EXPECT_EQ(Grid(IDC_ERRORS + 1), "1");
    EXPECT_EQ(LinesWith("007 WEX 1 - Comms fail on port 1 "), 1u);
    Transmit(1, 1);  // the sixth repeats the report
    EXPECT_EQ(Ports.ErrorCount[1], 2u);
    EXPECT_EQ(Grid(IDC_ERRORS + 1), "2");
    EXPECT_EQ(LinesWith("Comms fail on port 1"), 2u);
    // A parser accepts a reply: flag first, then the report.
    Ports.CommsFail[1] = 0;
    NotePortError(1);
    EXPECT_EQ(Ports.ErrorCount[1], 3u);
    EXPECT_EQ(Ports.NoReply[1], 0);
    EXPECT_EQ(Grid(IDC_STATUS + 1), "Ok");
    EXPECT_EQ(LinesWith("007 WEX 1 - Comms ok on port 1 "), 1u);
    Transmit(1, 4);
    EXPECT_EQ(Ports.CommsFail[1], 0) << "the count started again";
}

TEST_F(PortsTest, GoRxOnlyOnComFail)
{
    struct Case {
        const char *what;
        int32_t setting;
        int failingPort;
        bool switches;
    } cases[] = {
        {"-1: never", -1, 1, false},
        {"0: any port", 0, 3, true},
        {"2: port 2 only, port 1 fails", 2, 1, false},
        {"2: port 2 fails", 2, 2, true},
    };
    for (const Case &c : cases) {
        PortsReset();
        LinkReset();
        Link.VekWindow = CreateWindowProc(VekProc, false);
        ModesToVek.clear();
        Profile.GoRxOnlyOnComFail = c.setting;
        Transmit(c.failingPort, 7);  // fails at the fifth, stays failed
        EXPECT_EQ(Ports.CommsFail[c.failingPort], 1) << c.what;
        EXPECT_EQ(Link.TxRxMode, c.switches ? 1 : 0) << c.what;
        EXPECT_EQ(ModesToVek, c.switches ? std::vector<WPARAM>{1} : std::vector<WPARAM>{})
            << c.what << ": once per failure";
    }
}

TEST_F(PortsTest, PortForDest)
{
    Profile.Ports[1].MinDest = 1;
    Profile.Ports[1].MaxDest = 16;
    Profile.Ports[2].MinDest = 17;
    Profile.Ports[2].MaxDest = 32;
    for (int p = 3; p <= kMaxPorts; ++p)
        Profile.Ports[p].MinDest = Profile.Ports[p].MaxDest = -1;  // serve nothing
    struct Case {
        int32_t dest;
        int port;
    } cases[] = {{1, 1}, {16, 1}, {17, 2}, {32, 2}, {33, 0}, {0, 0}, {-2, 0}};
    for (const Case &c : cases)
        EXPECT_EQ(PortForDest(c.dest), c.port) << c.dest;
    Profile.Ports[4].MinDest = 0;  // a range that starts at 0 and overlaps port 1
    Profile.Ports[4].MaxDest = 5;
    EXPECT_EQ(PortForDest(0), 4);
    EXPECT_EQ(PortForDest(5), 1) << "the lower port serves shared destinations";
    Profile.Ports[4].MinDest = Profile.Ports[4].MaxDest = 0;  // unset: the range 0..0
    EXPECT_EQ(PortForDest(0), 4);
}

TEST_F(PortsTest, DrainEmptiesTheRingOneByteAtATime)
{
    int master = PortOnPty(1, 1);
    OpenPorts();
    std::string bytes;
    for (int i = 0; i < 300; ++i)
        bytes.push_back(static_cast<char>(i));
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), 300);
    auto inQueue = [] {
        COMSTAT st;
        CommGetStatus(Ports.CommIndex[1], &st);
        return static_cast<int>(st.cbInQue);
    };
    ASSERT_TRUE(WaitFor([&] { return inQueue() == 300; }));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Notifications == 0 && std::chrono::steady_clock::now() < deadline)
        LoopRunOnce(20);
    ASSERT_GT(Notifications, 0) << "the main window is told";
    DrainPort(Ports.CommIndex[1]);
    EXPECT_EQ(inQueue(), 0);
    uint8_t b;
    EXPECT_EQ(CommRead(Ports.CommIndex[1], &b, 1), 0);
    DrainPort(77);  // no port has that index: ignored
}

// A line that keeps sending cannot hold the main loop: each notification
// feeds at most kDrainBytes (or kDrainMs' worth) and posts a follow-up
// while bytes remain; the follow-ups empty the ring.
TEST_F(PortsTest, DrainIsBoundedAndFollowsItselfUp)
{
    int master = PortOnPty(1, 1);
    OpenPorts();
    const int total = 3 * kDrainBytes + 500;
    ASSERT_EQ(write(master, std::string(static_cast<size_t>(total), 'q').data(), total), total);
    auto inQueue = [] {
        COMSTAT st;
        CommGetStatus(Ports.CommIndex[1], &st);
        return static_cast<int>(st.cbInQue);
    };
    ASSERT_TRUE(WaitFor([&] { return inQueue() == total; }));
    LoopRunOnce(0);
    int calls = 0;
    int next = Ports.CommIndex[1];  // the reader's notification, then the follow-ups
    for (int left = total; left > 0 && calls < 1000;) {
        ++calls;
        Notifications = 0;
        DrainPort(next);
        int now = inQueue();
        EXPECT_GE(left - now, 1) << "each call makes progress";
        EXPECT_LE(left - now, kDrainBytes) << "call " << calls;
        left = now;
        LoopRunOnce(0);
        EXPECT_EQ(Notifications, left > 0 ? 1 : 0) << "a follow-up while bytes remain";
        if (left == 0)
            break;
        EXPECT_EQ(LastNotified, static_cast<WPARAM>(Ports.CommIndex[1] + kDrainFollowUp));
        next = static_cast<int>(LastNotified);
        // The reader's notification meanwhile is left to the follow-up.
        DrainPort(Ports.CommIndex[1]);
        EXPECT_EQ(inQueue(), left);
    }
    EXPECT_GE(calls, 4);
    EXPECT_EQ(inQueue(), 0);
}

// A pseudo-terminal link removed and made again: "Link lost on port 1" and
// "Link restored on port 1", each once, however often the port is looked at.
TEST_F(PortsTest, LinkLostAndRestoredAreReportedOncePerChange)
{
    PortOnPty(1, 1);
    std::string link = root.File("router1");
    ASSERT_EQ(symlink(ptys.back().slavePath.c_str(), link.c_str()), 0);
    WritePrivateProfileString("Serial", "COM1", link.c_str(), PathsFile().c_str());
    Profile.Ports[1].Protocol = 1;
    OpenPorts();
    NoteLinkState(1);
    EXPECT_EQ(LinesWith("Link "), 0u) << "nothing while the link is up";
    ClosePty(&ptys.back());
    unlink(link.c_str());
    ASSERT_TRUE(WaitFor([&] {
        NoteLinkState(1);
        Transmit(1, 1);
        return LinesWith("007 WEX 1 - Link lost on port 1") > 0;
    }));
    Transmit(1, 3);
    NoteLinkState(1);
    EXPECT_EQ(LinesWith("Link lost on port 1"), 1u);
    Pty again;
    ASSERT_TRUE(OpenPty(&again));
    ptys.push_back(again);
    ASSERT_EQ(symlink(again.slavePath.c_str(), link.c_str()), 0);
    ASSERT_TRUE(WaitFor([&] {
        DrainPort(Ports.CommIndex[1]);
        return LinesWith("007 WEX 1 - Link restored on port 1") > 0;
    }));
    Transmit(1, 2);
    NoteLinkState(1);
    EXPECT_EQ(LinesWith("Link lost on port 1"), 1u);
    EXPECT_EQ(LinesWith("Link restored on port 1"), 1u);
}

TEST_F(PortsTest, SimpleAndCoxPortsAreNotAnnounced)
{
    int master = PortOnPty(1, 1);
    Profile.Ports[1].Protocol = 3;
    OpenPorts();
    ASSERT_EQ(write(master, "r", 1), 1);
    uint8_t b = 0;
    ASSERT_TRUE(WaitFor([&] { return CommRead(Ports.CommIndex[1], &b, 1) == 1; }));
    EXPECT_EQ(b, 'r');
    LoopRunOnce(0);
    EXPECT_EQ(Notifications, 0);
}

}  // namespace
