// Protocol dispatch and the poll cycle: which port a route, a poll or a
// received byte goes to, the Tally column, and the start-up sweep.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/profile.h"
#include "link/attach.h"
#include "link/commands.h"
#include "link/revertive.h"
#include "platform/dialog.h"
#include "platform/loop.h"
#include "protocols/protocol.h"
#include "routing/tables.h"
#include "serial/ports.h"
#include "platform/debug.h"
#include "shell/shell.h"
#include "tests/support/modules.h"
#include "ui/maindlg.h"

namespace {

struct Frame {
    int port;
    std::string bytes;
    std::string tallyCell;  // the port's Tally cell while it was polled
};
std::vector<Frame> Sent;

void Capture(int port, const uint8_t *bytes, int length)
{
    std::string cell = Dlg.Dialog ? GetDlgItemText(Dlg.Dialog, IDC_TALLY + port) : "";
    Sent.push_back({port,
                    std::string(reinterpret_cast<const char *>(bytes), static_cast<size_t>(length)),
                    cell});
}

std::vector<std::string> Polled(int port)
{
    std::vector<std::string> out;
    for (const Frame &f : Sent)
        if (f.port == port)
            out.push_back(f.bytes);
    return out;
}

void Quiet(const char *) {}

LRESULT DialogProc(HWND, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_TIMER && wParam == 1)
        PollTick();
    return 0;
}

LRESULT VekProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetModules();
        SetDebugSink(Quiet);
        Shell.DriverId = 7;
        UseHbxrcp16x32();
        Profile.InitTallyDelay = 200;
        Profile.TallyDelay = 2000;
        Profile.NetUpdateOnStart = 1;
        // Nobody answers the polls here: keep the ports from failing (and
        // the driver from dropping to Rx Only) during a whole sweep.
        Profile.CommErrorLimit = 1000;
        Dlg.Dialog = CreateWindowProc(DialogProc, false);
        Link.TxRxMode = 2;  // Tx/Rx: revertives are sent and counted
        Link.VekWindow = CreateWindowProc(VekProc, false);
        Sent.clear();
        SetPortTransmitHook(Capture);
    }
    void TearDown() override
    {
        SetPortTransmitHook(nullptr);
        SetDebugSink(nullptr);
        LoopReset();
    }
    static void UsePort(int port, uint8_t code, int32_t minDest, int32_t maxDest)
    {
        Profile.Ports[port].Port = port;
        Profile.Ports[port].Protocol = code;
        Profile.Ports[port].MinDest = minDest;
        Profile.Ports[port].MaxDest = maxDest;
        Ports.InUse[port] = 1;
        Proto.NextPoll[port] = minDest;  // as the port manager opens it
    }
    static std::string Cell(int id) { return GetDlgItemText(Dlg.Dialog, id); }
};

TEST_F(DispatchTest, EachTickPollsTheNextDestinationAndWraps)
{
    UsePort(1, 1, 5, 7);
    PollTick();
    EXPECT_EQ(Cell(IDC_TALLY + 1), "0006") << "right after polling 5";
    for (int i = 0; i < 4; ++i)
        PollTick();
    EXPECT_EQ(Polled(1), (std::vector<std::string>{".IA5,-\r", ".IA6,-\r", ".IA7,-\r",
                                                    ".IA5,-\r", ".IA6,-\r"}));
    // While polling, the cell shows the destination being asked, unpadded.
    EXPECT_EQ(Sent[0].tallyCell, "5");
    EXPECT_EQ(Sent[2].tallyCell, "7");
    EXPECT_EQ(Cell(IDC_TALLY + 1), "0007");
}

TEST_F(DispatchTest, EveryUsedPortPollsOncePerTick)
{
    UsePort(1, 1, 1, 16);
    UsePort(3, 1, 17, 32);
    Profile.Ports[2] = Profile.Ports[1];  // configured but not open: not polled
    PollTick();
    PollTick();
    EXPECT_EQ(Polled(1), (std::vector<std::string>{".IA1,-\r", ".IA2,-\r"}));
    EXPECT_EQ(Polled(3), (std::vector<std::string>{".IA17,-\r", ".IA18,-\r"}));
    EXPECT_TRUE(Polled(2).empty());
}

TEST_F(DispatchTest, CodeElevenIsNeverPolledNorAdvanced)
{
    UsePort(2, 11, 100, 110);
    PollTick();
    PollTick();
    EXPECT_TRUE(Polled(2).empty());
    EXPECT_EQ(Proto.NextPoll[2], 100);
    EXPECT_EQ(Cell(IDC_TALLY + 2), "100");
}

TEST_F(DispatchTest, TallyColumnIsLeftAloneWhileMinimised)
{
    UsePort(1, 1, 5, 7);
    Shell.MainWindow = CreateWindowProc(VekProc, false);
    SetMinimised(Shell.MainWindow, true);
    PollTick();
    EXPECT_EQ(Cell(IDC_TALLY + 1), "");
    EXPECT_EQ(Proto.NextPoll[1], 6) << "polling goes on";
    SetMinimised(Shell.MainWindow, false);
    SetMinimised(Dlg.Dialog, true);
    PollTick();
    EXPECT_EQ(Cell(IDC_TALLY + 1), "");
    SetMinimised(Dlg.Dialog, false);
    PollTick();
    EXPECT_EQ(Cell(IDC_TALLY + 1), "0005");
}

TEST_F(DispatchTest, StartUpSweepEndsOnItsLastTick)
{
    UsePort(1, 1, 1, 32);
    Commands.CommandCounter = 42;
    StartPolling();
    EXPECT_EQ(Proto.SweepCounter, 1);
    EXPECT_EQ(TimerPeriod(Dlg.Dialog, 1), 200u);
    for (int tick = 1; tick < 32; ++tick)
        PollTick();
    EXPECT_EQ(Commands.CommandsEnabled, 0);
    EXPECT_EQ(RevertiveCounter, 0u);
    EXPECT_EQ(TimerPeriod(Dlg.Dialog, 1), 200u);

    PollTick();  // the 32nd
    EXPECT_EQ(Commands.CommandsEnabled, 1);
    EXPECT_EQ(Proto.SweepCounter, 0);
    EXPECT_TRUE(TimerRunning(Dlg.Dialog, 1));
    EXPECT_EQ(TimerPeriod(Dlg.Dialog, 1), 2000u);
    EXPECT_EQ(RevertiveCounter, 32u) << "every tally reported once";
    EXPECT_EQ(Cell(IDC_RXCOUNT), "00000042");
    ASSERT_EQ(Sent.size(), 32u);
    EXPECT_EQ(Sent.back().bytes, ".IA32,-\r");

    PollTick();  // steady polling: no second report
    EXPECT_EQ(RevertiveCounter, 32u);
    EXPECT_EQ(Sent.back().bytes, ".IA1,-\r");
}

TEST_F(DispatchTest, SweepWithoutNetUpdateReportsNothing)
{
    UsePort(1, 1, 1, 32);
    Profile.NetUpdateOnStart = 0;
    StartPolling();
    for (int tick = 0; tick < 32; ++tick)
        PollTick();
    EXPECT_EQ(Commands.CommandsEnabled, 1);
    EXPECT_EQ(RevertiveCounter, 0u);
}

TEST_F(DispatchTest, CommandCounterShowsUnsigned)
{
    Profile.DatabaseSize_1 = 1;
    Commands.CommandCounter = 0xFFFFFFFFu;
    StartPolling();
    PollTick();
    EXPECT_EQ(Cell(IDC_RXCOUNT), "4294967295");
}

TEST_F(DispatchTest, SimulationTakesCommandsAtOnceAndNeverPolls)
{
    UsePort(1, 1, 1, 32);
    Profile.Simulation = 1;
    StartPolling();
    EXPECT_EQ(Commands.CommandsEnabled, 1);
    EXPECT_EQ(Proto.SweepCounter, 0);
    EXPECT_FALSE(TimerRunning(Dlg.Dialog, 1));
}

// The whole sweep driven by the dialog's timer through the message loop.
TEST_F(DispatchTest, TimerDrivesTheSweep)
{
    Profile.DatabaseSize_1 = 8;
    Profile.InitTallyDelay = 1;
    UsePort(1, 1, 1, 8);
    StartPolling();
    uint32_t deadline = GetTickCount() + 10000;
    while (Commands.CommandsEnabled == 0 && GetTickCount() < deadline)
        LoopRunOnce(50);
    ASSERT_EQ(Commands.CommandsEnabled, 1);
    EXPECT_EQ(Polled(1).size(), 8u);
    EXPECT_EQ(TimerPeriod(Dlg.Dialog, 1), 2000u);
}

TEST_F(DispatchTest, RouteForADestinationNoPortServesSendsNothing)
{
    UsePort(1, 1, 1, 16);
    UsePort(2, 0, 17, 24);  // served, but by a port without a protocol
    RouteDispatch(5, 30);
    RouteDispatch(5, 20);
    EXPECT_TRUE(Sent.empty());
    RouteDispatch(5, 16);
    ASSERT_EQ(Sent.size(), 1u);
    EXPECT_EQ(Sent[0].bytes, ".SA16,5\r");
}

TEST_F(DispatchTest, BytesOnAPortWithoutProtocolAreDropped)
{
    UsePort(3, 0, 1, 32);
    for (char c : std::string(".AA12,5\r"))
        ReceiveDispatch(3, static_cast<uint8_t>(c));
    EXPECT_EQ(Routing.TallyTable[12], 0);
    EXPECT_EQ(Proto.RxCount[3], 0);
    EXPECT_EQ(Proto.RxBuffer[3][0], 0);
    ReceiveDispatch(0, '.');  // no such port
    ReceiveDispatch(9, '.');
    EXPECT_EQ(RevertiveCounter, 0u);
}

}  // namespace
