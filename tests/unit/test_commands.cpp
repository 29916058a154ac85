// The command interpreter: gate, route directions, locks, reports, the
// refresh and the forward buffer.  Router routes show as their "ROUTING"
// debug lines; EXTERNAL routes as 2738 to the in-process external driver.
#include "link_peers.h"

#include "platform/profile.h"
#include "platform/root.h"
#include "tests/support/support.h"

#include <filesystem>
#include <string>

using namespace peers;

namespace {

struct CommandTest : LinkTest {
    std::vector<std::string> Routings()
    {
        std::vector<std::string> out;
        for (const std::string &l : DebugLines)
            if (l.rfind("ROUTING ", 0) == 0)
                out.push_back(l);
        return out;
    }
};

struct Frame {
    int port;
    std::vector<uint8_t> bytes;
    bool operator==(const Frame &) const = default;
};
std::vector<Frame> Frames;
void CaptureFrame(int port, const uint8_t *bytes, int length)
{
    Frames.push_back({port, std::vector<uint8_t>(bytes, bytes + length)});
}

// RouteCommand's reported destinations, as texts sent to VEK.
std::vector<std::string> Revertives() { return Texts(Vek, 2187); }

}  // namespace

TEST_F(CommandTest, DisabledCommandsAreLostAndShowInhibit)
{
    Commands.CommandsEnabled = 0;
    ReceiveCommand("RC 7 3 12 ',---' 0");
    EXPECT_EQ(GetDlgItemText(Dlg.Dialog, IDC_RXCOUNT), "Inhibit");
    EXPECT_TRUE(Routings().empty());
    EXPECT_EQ(Commands.CommandCounter, 0u);
}

TEST_F(CommandTest, ReceivedCommandsAreCountedEvenWhenIgnored)
{
    ReceiveCommand("RC 7 3 12 ',---' 0");
    ReceiveCommand("ZZ nonsense");
    ReceiveCommand("RC 8 3 12 ',---' 0");
    EXPECT_EQ(Commands.CommandCounter, 3u);
    EXPECT_EQ(GetDlgItemText(Dlg.Dialog, IDC_RXCOUNT), "00000003");
    EXPECT_TRUE(Logged("RC 7 3 12 ',---' 0"));
    EXPECT_TRUE(Logged("Parsing - [RC 7 3 12 ',---' 0]"));
    EXPECT_FALSE(Logged("Parsing - [ZZ nonsense]"));
    EXPECT_EQ(Routings(), std::vector<std::string>{"ROUTING 3 to 12"});
}

TEST_F(CommandTest, CounterIsShownUnsigned)
{
    Commands.CommandCounter = 0xFFFFFFFEu;
    ReceiveCommand("RF 8 0");
    EXPECT_EQ(GetDlgItemText(Dlg.Dialog, IDC_RXCOUNT), "4294967295");
}

TEST_F(CommandTest, RouteFieldsAndGate)
{
    Profile.ParkSource = 9;
    Commands.WorkstationAccess[5] = 0;
    struct Case {
        const char *command;
        const char *routing;  // null: nothing is routed
    };
    const Case cases[] = {
        {"RC 7 0 12 ',---' 0", "ROUTING 9 to 12"},  // source 0 parks
        {"RC 7 3 12 ',---' 0", "ROUTING 3 to 12"},
        {"XC 7 3 12 ',---' 0", "ROUTING 3 to 12"},
        {"RC 007 3 12 ',---' 0", "ROUTING 3 to 12"},
        {"RC 7 12abc 5 ',---' 0", "ROUTING 12 to 5"},
        {"RC 7 3 12 'a b c' 4", "ROUTING 3 to 12"},
        {"RC 7 64 64 ',---' 1000", "ROUTING 64 to 64"},
        {"RC 8 3 12 ',---' 0", nullptr},       // another device
        {"RC 7 3 12 ',---' 1001", nullptr},    // no such workstation
        {"RC 7 3 12 ',---' -1", nullptr},
        {"RC 7 3 12 ',---' 5", nullptr},       // not allowed
        {"RC 7 65 12 ',---' 0", nullptr},      // source out of range
        {"RC 7 3 65 ',---' 0", nullptr},       // destination out of range
        {"RC 7 3 0 ',---' 0", nullptr},
        {"RC 7 -2 12 ',---' 0", nullptr},
        {"YC 7 3 12 ',---' 0", nullptr},       // neither R nor X
        {"RZ 7 3 12 ',---' 0", nullptr},       // no such command
        // Numbers past 32 bits fail their checks; wrapped they would pass.
        {"RC 4294967303 3 12 ',---' 0", nullptr},  // device 7
        {"RC 7 4294967299 12 ',---' 0", nullptr},  // source 3
        {"RC 7 4294967296 12 ',---' 0", nullptr},  // source 0, parking
        {"RC 7 3 4294967308 ',---' 0", nullptr},   // destination 12
        {"RC 7 3 12 ',---' 4294967296", nullptr},  // workstation 0
        {"RC 7 3 12 ',---' -4294967295", nullptr}, // workstation 1
        {"RC 7 3 12 ',---' 99999999999999999999", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        DebugLines.clear();
        InterpretCommand(c.command);
        std::vector<std::string> expected;
        if (c.routing)
            expected.push_back(c.routing);
        EXPECT_EQ(Routings(), expected);
    }
}

TEST_F(CommandTest, BareKeywordDoesNotReplayThePreviousCommand)
{
    InterpretCommand("RC 7 3 12 ',---' 0");
    InterpretCommand("RL 7 20 20 1 0");
    DebugLines.clear();
    InterpretCommand("RC");
    InterpretCommand("RL 7 20 20 0 0");
    InterpretCommand("RL");
    EXPECT_TRUE(Routings().empty());
    EXPECT_EQ(Routing.LockTable[20], 0);
}

TEST_F(CommandTest, IgnoredRouteStillRefreshesPanel)
{
    DefineControl(Dlg.Dialog, IDC_LOCK, ControlKind::StatusButton, "");
    Dlg.SelectedDest = 12;
    Routing.LockTable[12] = 1;
    InterpretCommand("RC 8 3 12 ',---' 0");
    EXPECT_TRUE(Routings().empty());
    EXPECT_EQ(GetDlgItemText(Dlg.Dialog, IDC_LOCK), "Locked");
}

TEST_F(CommandTest, ReAssertDecidesWhetherTheSameRouteIsSentAgain)
{
    Routing.TallyTable[12] = 3;
    Profile.ReAssert = 0;
    InterpretCommand("RC 7 3 12 ',---' 0");
    EXPECT_TRUE(Routings().empty());
    EXPECT_TRUE(Inbox.empty());

    Profile.ReAssert = 1;
    InterpretCommand("RC 7 3 12 ',---' 0");
    EXPECT_EQ(Routings(), std::vector<std::string>{"ROUTING 3 to 12"});
    EXPECT_EQ(Revertives(), std::vector<std::string>{"RR 007 012 003"});
    // A new source is routed but, in ROUTER mode, not reported before the router says so.
    Inbox.clear();
    InterpretCommand("RC 7 4 12 ',---' 0");
    EXPECT_TRUE(Inbox.empty());
    EXPECT_EQ(Routing.TallyTable[12], 3);
}

TEST_F(CommandTest, LockedDestinationRefusesRouteButTakesLock)
{
    Routing.LockTable[12] = 1;
    InterpretCommand("RC 7 3 12 ',---' 0");
    EXPECT_TRUE(Routings().empty());
    InterpretCommand("RL 7 12 12 0 0");
    EXPECT_EQ(Routing.LockTable[12], 0);
    InterpretCommand("RC 7 3 12 ',---' 0");
    EXPECT_EQ(Routings(), std::vector<std::string>{"ROUTING 3 to 12"});
}

TEST_F(CommandTest, LockRanges)
{
    InterpretCommand("RL 7 5 8 3 0");
    EXPECT_TRUE(Logged("RL 7 5 8 3 0"));
    EXPECT_EQ(Routing.LockTable[4], 0);
    for (int d = 5; d <= 8; ++d)
        EXPECT_EQ(Routing.LockTable[d], 3);  // the state is stored as given
    EXPECT_EQ(Routing.LockTable[9], 0);
    const char *ignored[] = {"RL 7 0 5 1 0", "RL 7 60 65 1 0", "RL 8 20 21 1 0",
                             "RL 7 20 21 1 1001", "XL 7 20 21 1 -5"};
    for (const char *command : ignored) {
        SCOPED_TRACE(command);
        InterpretCommand(command);
        for (int d = 20; d <= 64; ++d)
            ASSERT_EQ(Routing.LockTable[d], 0) << d;
    }
    InterpretCommand("XL 7 20 21 1 0");
    EXPECT_EQ(Routing.LockTable[21], 1);

    // Past 32 bits the checked fields refuse; the lock state, which nothing
    // checks, is stored as the splitter reads it (wrapped).
    InterpretCommand("RL 4294967303 30 30 1 0");
    InterpretCommand("RL 7 4294967326 4294967326 1 0");
    InterpretCommand("RL 7 30 30 1 4294967296");
    EXPECT_EQ(Routing.LockTable[30], 0);
    InterpretCommand("RL 7 30 30 4294967299 0");
    EXPECT_EQ(Routing.LockTable[30], 3);
}

TEST_F(CommandTest, ReversedLockRangeLocksNothingButRewritesLockFile)
{
    TempRoot root;
    SetRootDirectory(root.dir.c_str());
    WritePrivateProfileString("Config", "ConfigPath", root.dir.c_str(), PathsFile().c_str());
    Shell.TablesLoaded = true;
    Routing.LockTable[4] = 1;
    InterpretCommand("RL 7 5 3 1 0");
    for (int d = 1; d <= 64; ++d)
        EXPECT_EQ(Routing.LockTable[d], d == 4 ? 1 : 0) << d;
    EXPECT_TRUE(FileExists(root.File("DEV_007.LCK")));
    SetRootDirectory(nullptr);
}

TEST_F(CommandTest, ReportsAreClippedToTheDestinationCount)
{
    Routing.TallyTable[10] = 2;
    InterpretCommand("RP 7 10 5000 0");
    auto sent = To(Vek, 2187);
    ASSERT_EQ(sent.size(), 55u);
    EXPECT_EQ(sent.front().text, "RR 007 010 002");
    EXPECT_EQ(sent.back().text, "RR 007 064 000");
    for (const Received &r : sent)
        EXPECT_EQ(r.wParam, 0u);

    Inbox.clear();
    const char *nothing[] = {"RP 7 0 5 0", "RP 7 6 5 0", "RP 7 65 70 0", "RP 8 1 5 0",
                             "RQ 7 1 5 1001", "RP 4294967303 1 5 0", "RP 7 4294967297 5 0",
                             "RP 7 1 5 4294967296"};
    for (const char *command : nothing) {
        InterpretCommand(command);
        EXPECT_TRUE(Inbox.empty()) << command;
    }
    // A last destination past 32 bits is past the count: clipped, not wrapped to 1.
    InterpretCommand("RP 7 60 4294967297 0");
    EXPECT_EQ(To(Vek, 2187).size(), 5u);
}

TEST_F(CommandTest, BatchReportFlagsItsLastText)
{
    InterpretCommand("RQ 7 1 3 4");
    auto sent = To(Vek, 2188);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].wParam, 4u);
    EXPECT_EQ(sent[1].wParam, 4u);
    EXPECT_EQ(sent[2].wParam, 0x8004u);
    EXPECT_EQ(sent[2].text, "RR 007 003 000");
}

TEST_F(CommandTest, RefreshRebuildsAccessAndReportsEverything)
{
    TempRoot root;
    SetRootDirectory(root.dir.c_str());
    WritePrivateProfileString("Config", "ConfigPath", root.dir.c_str(), PathsFile().c_str());
    WritePrivateProfileString("Security", "Access", "4,20-25", root.File("DEV_007.INI").c_str());

    InterpretCommand("RF 7 5");
    auto sent = To(Vek, 2187);
    ASSERT_EQ(sent.size(), 64u);
    EXPECT_EQ(sent[0].wParam, 5u);
    EXPECT_EQ(sent[63].text, "RR 007 064 000");
    EXPECT_EQ(Commands.WorkstationAccess[0], 1);
    EXPECT_EQ(Commands.WorkstationAccess[4], 1);
    EXPECT_EQ(Commands.WorkstationAccess[5], 0);
    EXPECT_EQ(Commands.WorkstationAccess[22], 1);

    // Workstation 5 has lost its right: neither a route nor another refresh.
    Inbox.clear();
    InterpretCommand("RC 7 3 12 ',---' 5");
    InterpretCommand("RF 7 5");
    EXPECT_TRUE(Routings().empty());
    EXPECT_TRUE(Inbox.empty());
    InterpretCommand("RC 7 3 12 ',---' 22");
    EXPECT_EQ(Routings(), std::vector<std::string>{"ROUTING 3 to 12"});
    SetRootDirectory(nullptr);
}

TEST_F(CommandTest, AllowWorkstationBounds)
{
    CommandsReset();
    AllowWorkstation(0);
    AllowWorkstation(1000);
    AllowWorkstation(-3);
    AllowWorkstation(1);
    AllowWorkstation(999);
    for (int w = 0; w < kWorkstations; ++w)
        EXPECT_EQ(Commands.WorkstationAccess[w], (w == 1 || w == 999) ? 1 : 0) << w;
}

TEST_F(CommandTest, ExternalDriverGetsCommandTextAndRoutes)
{
    Profile.DriverMode = kDriverExternal;
    Shell.ExternalDriverWindow = External;
    InterpretCommand("RC 7 3 12 ',---' 0");
    auto got = To(External);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].code, 2740u);
    EXPECT_EQ(got[0].text, "RC 7 3 12 ',---' 0");
    EXPECT_EQ(got[1].code, 2738u);
    EXPECT_EQ(got[1].wParam, 12u);
    EXPECT_EQ(got[1].lParam, 3);
    EXPECT_TRUE(Routings().empty());
    // Commands that fail the gate still reach the external driver as text.
    Inbox.clear();
    InterpretCommand("RL 8 1 1 1 0");
    EXPECT_EQ(Texts(External, 2740), std::vector<std::string>{"RL 8 1 1 1 0"});
}

TEST_F(CommandTest, OverlongCommandIsCutAt511Characters)
{
    Profile.DriverMode = kDriverExternal;
    Shell.ExternalDriverWindow = External;
    std::string command = "RC 7 3 12 ',---' 0 " + std::string(700, 'x');
    ReceiveCommand(command.c_str());
    auto texts = Texts(External, 2740);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], command.substr(0, 511));
    EXPECT_EQ(To(External, 2738).size(), 1u);

    // A cut that loses a field would read it as missing: workstation 5,
    // which may not route, would pass as 0, the driver's own panel.
    Inbox.clear();
    Commands.WorkstationAccess[5] = 0;
    command = "RC 7 3 12 '" + std::string(600, 'n') + "' 5";
    ReceiveCommand(command.c_str());
    EXPECT_TRUE(Inbox.empty());
    EXPECT_EQ(Commands.CommandCounter, 2u);
}

TEST_F(CommandTest, DriverRevertiveModeReportsItsOwnRoutes)
{
    Profile.RevertiveMode = kRevertiveDriver;
    Profile.Ports[1] = PortConfig{1, 1, 32, 0, 9600, 8, 1, 'n'};
    Profile.Ports[2] = PortConfig{2, 33, 48, 0, 9600, 8, 1, 'n'};
    Ports.InUse[1] = Ports.InUse[2] = 1;
    Ports.CommsFail[2] = 1;

    InterpretCommand("RC 7 3 12 ',---' 0");  // port 1, healthy
    EXPECT_EQ(Routing.TallyTable[12], 3);
    InterpretCommand("RC 7 3 40 ',---' 0");  // port 2, failed: the router must say
    EXPECT_EQ(Routing.TallyTable[40], 0);
    InterpretCommand("RC 7 3 60 ',---' 0");  // no port serves 60: counts as healthy
    EXPECT_EQ(Routing.TallyTable[60], 3);
    EXPECT_EQ(Revertives(), (std::vector<std::string>{"RR 007 012 003", "RR 007 060 003"}));
    EXPECT_EQ(Routings().size(), 3u);
}

TEST_F(CommandTest, DriverRevertiveModeWithDelayPends)
{
    Profile.RevertiveMode = kRevertiveDriver;
    Profile.RevertiveDelay = 200;
    InterpretCommand("RC 7 3 12 ',---' 0");
    EXPECT_EQ(Routing.PendingTable[12], 3);
    EXPECT_EQ(Routing.TallyTable[12], 0);
    EXPECT_TRUE(Inbox.empty());
}

TEST_F(CommandTest, SimulationUpdatesTheTableWithoutRouter)
{
    Profile.Simulation = 1;
    InterpretCommand("RC 7 3 12 ',---' 0");
    EXPECT_TRUE(Routings().empty());
    EXPECT_EQ(Routing.TallyTable[12], 3);
    EXPECT_EQ(Revertives(), std::vector<std::string>{"RR 007 012 003"});

    Inbox.clear();
    InterpretCommand("RC 7 3 12 ',---' 0");  // ReAssert 1: reported again
    EXPECT_EQ(Revertives().size(), 1u);
    Inbox.clear();
    Profile.ReAssert = 0;
    InterpretCommand("RC 7 3 12 ',---' 0");  // nothing new, nothing said
    EXPECT_TRUE(Inbox.empty());

    Profile.RevertiveDelay = 100;  // the delay applies in simulation too
    InterpretCommand("RC 7 5 12 ',---' 0");
    EXPECT_EQ(Routing.PendingTable[12], 5);
    EXPECT_EQ(Routing.TallyTable[12], 3);
}

TEST_F(CommandTest, ReversedDirection)
{
    Profile.SourceToDest = 0;
    Profile.DestToSource = 1;
    Profile.DriverMode = kDriverExternal;
    Shell.ExternalDriverWindow = External;
    InterpretCommand("RC 7 12 3 ',---' 0");  // on the router: source 3 to destination 12
    auto routes = To(External, 2738);
    ASSERT_EQ(routes.size(), 1u);
    EXPECT_EQ(routes[0].wParam, 12u);
    EXPECT_EQ(routes[0].lParam, 3);

    Routing.LockTable[12] = 1;
    InterpretCommand("RC 7 12 3 ',---' 0");
    EXPECT_EQ(To(External, 2738).size(), 1u);
}

TEST_F(CommandTest, RoutesReachThePortServingTheRouterDestination)
{
    // PROBEL on both ports: port 1 serves 1..8, port 2 serves 9..64.
    Profile.Ports[1] = PortConfig{1, 1, 8, 2, 9600, 8, 1, 'n'};
    Profile.Ports[2] = PortConfig{2, 9, 64, 2, 9600, 8, 1, 'n'};
    Profile.DestToSource = 1;
    SetPortTransmitHook(CaptureFrame);
    Frames.clear();
    InterpretCommand("RC 7 3 12 ',---' 0");  // source 3 to 12; reversed: 12 to 3
    SetPortTransmitHook(nullptr);
    const std::vector<Frame> expected = {
        {2, {0xFF, 0x02, 0x00, 0x03, 0x02, 0x79}},  // wire destination 12-9, source 3-1
        {1, {0xFF, 0x02, 0x00, 0x02, 0x0B, 0x71}},  // wire destination 3-1, source 12-1
    };
    EXPECT_EQ(Frames, expected);
    EXPECT_EQ(Routings(), std::vector<std::string>{"ROUTING 3 to 12"});
}

TEST_F(CommandTest, ReversedDirectionUpdatesAtOnceEvenWithDelay)
{
    Profile.SourceToDest = 0;
    Profile.DestToSource = 1;
    Profile.Simulation = 1;
    Profile.RevertiveDelay = 100;
    Routing.TallyTable[12] = 3;  // already there, ReAssert 1: reported, then set again
    InterpretCommand("RC 7 12 3 ',---' 0");
    EXPECT_EQ(Routing.TallyTable[12], 3);
    EXPECT_EQ(Routing.PendingTable[12], 0);
    EXPECT_EQ(Revertives(), (std::vector<std::string>{"RR 007 012 003", "RR 007 012 003"}));
    Inbox.clear();
    InterpretCommand("RC 7 12 4 ',---' 0");
    EXPECT_EQ(Routing.TallyTable[12], 4);
    EXPECT_EQ(Revertives(), std::vector<std::string>{"RR 007 012 004"});
}

TEST_F(CommandTest, RouteFromExternalUsesOurWorkStation)
{
    Link.WorkStation = 3;
    Profile.FirstVirtual = 50;  // still a plain route: no virtual resolution
    RouteFromExternal(12, 5);
    EXPECT_EQ(Routings(), std::vector<std::string>{"ROUTING 5 to 12"});
    DebugLines.clear();
    Link.WorkStation = -1;  // unknown workstation: the gate refuses it
    RouteFromExternal(12, 5);
    EXPECT_TRUE(Routings().empty());
}

TEST_F(CommandTest, VirtualSourcesTakeTheVirtualRoute)
{
    Profile.FirstVirtual = 50;
    InterpretCommand("RC 7 5 3 ',---' 0");
    EXPECT_EQ(Routing.VirtualTable[3], 5);
    EXPECT_EQ(Routings(), std::vector<std::string>{"ROUTING 5 to 3"});

    // A bare keyword reads its fields as 0 here too, not as the last route's.
    DebugLines.clear();
    Routing.VirtualTable[3] = 0;
    InterpretCommand("RC");
    InterpretCommand("XC");
    EXPECT_TRUE(Routings().empty());
    EXPECT_EQ(Routing.VirtualTable[3], 0);

    InterpretCommand("RC 7 4294967301 3 ',---' 0");  // source 5, wrapped
    EXPECT_TRUE(Routings().empty());
    EXPECT_EQ(Routing.VirtualTable[3], 0);
}

TEST_F(CommandTest, ForwardBufferPacesRoutesButNotLocks)
{
    Profile.FwdBuffDelay = 500;
    StartForwardBuffer();
    EXPECT_TRUE(TimerRunning(Dlg.Dialog, 4));
    EXPECT_EQ(TimerPeriod(Dlg.Dialog, 4), 500u);

    ReceiveCommand("RC 7 1 10 ',---' 0");
    ReceiveCommand("RC 7 2 11 ',---' 0");
    ReceiveCommand("RL 7 30 30 1 0");
    ReceiveCommand("RC 7 3 12 ',---' 0");
    EXPECT_TRUE(Routings().empty());
    EXPECT_EQ(Routing.LockTable[30], 1);  // handled at once
    EXPECT_EQ(Commands.CommandCounter, 4u);

    // One command per tick of timer 4.
    DrainForwardBuffer();
    EXPECT_EQ(Routings(), std::vector<std::string>{"ROUTING 1 to 10"});
    DrainForwardBuffer();
    EXPECT_EQ(Routings().size(), 2u);
    DrainForwardBuffer();
    EXPECT_EQ(Routings().back(), "ROUTING 3 to 12");
    DrainForwardBuffer();
    EXPECT_EQ(Routings().size(), 3u);
}

// A negative period in the profile: no timer would ever drain the queue, so
// there is no forward buffer and routes run at once.
TEST_F(CommandTest, NegativeForwardPeriodRoutesAtOnce)
{
    Profile.FwdBuffDelay = -5;
    ReceiveCommand("RC 7 1 10 ',---' 0");
    EXPECT_EQ(Routings(), std::vector<std::string>{"ROUTING 1 to 10"});
}

TEST_F(CommandTest, ForwardBufferWrapsAndOverwrites)
{
    Profile.FwdBuffDelay = 500;
    StartForwardBuffer();
    // 33 commands into 32 slots: the last overwrites the first, which is lost.
    for (int s = 1; s <= 33; ++s) {
        std::string command = "RC 7 " + std::to_string(s) + " 12 ',---' 0";
        ReceiveCommand(command.c_str());
    }
    EXPECT_EQ(Commands.ForwardWrite, 1);
    DrainForwardBuffer();
    EXPECT_EQ(Routings(), std::vector<std::string>{"ROUTING 33 to 12"});
    for (int i = 0; i < 40; ++i)
        DrainForwardBuffer();
    ASSERT_EQ(Routings().size(), 32u);
    EXPECT_EQ(Routings()[1], "ROUTING 2 to 12");
    EXPECT_EQ(Routings().back(), "ROUTING 32 to 12");
}

TEST_F(CommandTest, ForwardBufferSkipsEmptySlotsAndCutsLongCommands)
{
    Profile.FwdBuffDelay = 500;
    StartForwardBuffer();
    Commands.ForwardWrite = 20;
    Commands.ForwardRead = 5;
    std::string command = "RC 7 3 12 ',---' 0" + std::string(100, ' ') + "junk";
    QueueCommand(command.c_str());
    EXPECT_EQ(std::string(Commands.ForwardBuffer[20]), command.substr(0, 63));
    DrainForwardBuffer();
    EXPECT_EQ(Routings(), std::vector<std::string>{"ROUTING 3 to 12"});
    EXPECT_EQ(Commands.ForwardRead, 21);
    EXPECT_EQ(Commands.ForwardBuffer[20][0], 0);

    // Cut to its slot, this one would lose its workstation (5, not allowed)
    // and route as workstation 0: it is not queued.
    Commands.WorkstationAccess[5] = 0;
    command = "RC 7 4 12 '" + std::string(50, 'n') + "' 5";
    ReceiveCommand(command.c_str());
    EXPECT_EQ(Commands.ForwardWrite, 21);
    for (int i = 0; i < 32; ++i)
        DrainForwardBuffer();
    EXPECT_EQ(Routings().size(), 1u);
}
