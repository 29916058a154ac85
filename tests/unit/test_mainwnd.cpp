// The main window's messages, menu commands and the main dialog's panel,
// driven in one process with local windows standing in for VEK and for
// attached programs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/profile.h"
#include "link/attach.h"
#include "link/commands.h"
#include "link/revertive.h"
#include "platform/dialog.h"
#include "platform/loop.h"
#include "platform/root.h"
#include "protocols/protocol.h"
#include "routing/statefiles.h"
#include "routing/tables.h"
#include "serial/ports.h"
#include "link/bridge.h"
#include "platform/bus.h"
#include "shell/extension.h"
#include "shell/menu.h"
#include "shell/shell.h"
#include "tests/support/modules.h"
#include "tests/support/support.h"
#include "ui/about.h"
#include "ui/maindlg.h"

namespace {

struct Received {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::string text;
};
std::vector<Received> Got;

// Records what reaches a program; texts are copied when the code carries one.
LRESULT Program(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Received r{window, message, wParam, lParam, ""};
    bool text = message == 2187 || message == 2188 || message == 2776 || message == 2740 ||
                message == 2121 || message == 2123;
    if (text && lParam)
        r.text = reinterpret_cast<const char *>(lParam);
    if (message == 2164 && lParam) {
        // A name request: answer "N<database>-<index>".
        auto *b = reinterpret_cast<uint8_t *>(lParam);
        int db = b[2] | (b[3] << 8), index = b[4] | (b[5] << 8);
        std::snprintf(reinterpret_cast<char *>(b), 256, "N%d-%d", db, index);
    }
    Got.push_back(r);
    return 0;
}

// Windows of other programs: what the driver sends them through
// SendMessage is recorded like what reaches a local program.
constexpr HWND kAbroad = 0x0a0b0c0d;
LRESULT SendAbroad(HWND target, UINT message, WPARAM wParam, LPARAM lParam)
{
    return Program(target, message, wParam, lParam);
}
const LoopRemoteHooks kAbroadHooks = {SendAbroad, nullptr, nullptr, nullptr, nullptr};

size_t Count(UINT message, HWND to = 0)
{
    size_t n = 0;
    for (auto &r : Got)
        n += r.message == message && (to == 0 || r.window == to);
    return n;
}

struct MainWndTest : ::testing::Test {
    TempRoot root;
    HWND vek = 0;

    void SetUp() override
    {
        ResetModules();
        Got.clear();
        SetRootDirectory(root.dir.c_str());
        Shell.DriverId = 7;
        Shell.MainWindow = CreateWindowProc(MainWndProc, false);
        vek = CreateWindowProc(Program, false);
        Link.VekWindow = vek;
        Link.TxRxMode = 2;
        Profile.DatabaseSize_0 = 16;
        Profile.DatabaseSize_1 = 32;
        Profile.Simulation = 1;
        Profile.NameLength = 8;
        Profile.SourceToDest = 1;
        Profile.ReAssert = 1;
        Profile.SaveDelay = 10;
        Commands.WorkstationAccess[0] = 1;
        Commands.CommandsEnabled = 1;
        CreateMainDialog();
        LoopSetRemoteHooks(&kAbroadHooks);
        Got.clear();
    }
    void TearDown() override
    {
        LoopSetRemoteHooks(nullptr);
        LoopReset();
    }
    LRESULT Send(UINT m, WPARAM w, LPARAM l) { return SendMessage(Shell.MainWindow, m, w, l); }
    std::string Text(int id) { return GetDlgItemText(Dlg.Dialog, id); }
    std::string Code(int id)
    {
        const ControlModel *c = GetControl(Dlg.Dialog, id);
        return c ? c->captionCode : "";
    }
};

}  // namespace

TEST_F(MainWndTest, DialogInitialisation)
{
    EXPECT_TRUE(IsIconic(Shell.MainWindow));
    EXPECT_EQ(ListGetCount(Dlg.Dialog, IDC_SOURCES), 16);
    EXPECT_EQ(ListGetCount(Dlg.Dialog, IDC_DESTS), 32);
    EXPECT_EQ(GetControl(Dlg.Dialog, IDC_SOURCES)->items[4], "N0-5");
    EXPECT_EQ(GetControl(Dlg.Dialog, IDC_DESTS)->items[0], "N1-1");
    EXPECT_EQ(GetControl(Dlg.Dialog, IDC_SOURCES)->columnWidth, 72);
    EXPECT_EQ(Dlg.SelectedDest, 1);
    EXPECT_EQ(Dlg.SelectedSource, 0);
    EXPECT_EQ(Text(IDC_DRIVER), "Internal");
    EXPECT_EQ(Code(IDC_DRIVER), "/__2B0_");
    EXPECT_EQ(Text(IDC_CONTROL), "Internal");
    EXPECT_EQ(Text(IDC_KEYBOARD), "Disabled");
    EXPECT_EQ(Text(IDC_STATUS + 1), "Unused");
    EXPECT_EQ(Text(IDC_PORT + 3), "0");
    EXPECT_TRUE(TimerRunning(Dlg.Dialog, 2));
    EXPECT_EQ(TimerPeriod(Dlg.Dialog, 2), 60000u);
    EXPECT_FALSE(TimerRunning(Dlg.Dialog, 1));  // simulation: no polling
}

// The 2739 answer to an attach travels over the bus: the end-to-end tests
// see it arrive.
TEST_F(MainWndTest, AttachAndDetachExternalDriver)
{
    HWND ext = kAbroad;
    Send(2734, ext, 8);  // another device's Id
    EXPECT_EQ(Shell.ExternalDriverWindow, 0u);
    Send(2735, 0, 7);  // nothing attached: buttons stay
    EXPECT_EQ(Text(IDC_DRIVER), "Internal");
    EXPECT_EQ(Code(IDC_DRIVER), "/__2B0_");
    Send(49155, ext, 7);
    EXPECT_EQ(Shell.ExternalDriverWindow, ext);
    EXPECT_EQ(Text(IDC_DRIVER), "External");
    Send(2735, 0, 7);
    EXPECT_EQ(Shell.ExternalDriverWindow, 0u);
    EXPECT_EQ(Code(IDC_DRIVER), "/__9B0_");
    EXPECT_EQ(Text(IDC_DRIVER), "Internal");
}

TEST_F(MainWndTest, ControlWindowTakesCommands)
{
    Send(2774, kAbroad, 7);
    ASSERT_EQ(Count(2042, kAbroad), 1u);
    EXPECT_EQ(Got.back().wParam, Shell.MainWindow);
    EXPECT_EQ(Got.back().lParam, 7);
    EXPECT_EQ(Shell.ControlWindow, kAbroad);
    EXPECT_EQ(Code(IDC_CONTROL), "/__1B0_");
    EXPECT_EQ(Text(IDC_CONTROL), "External");
    // Take goes to the control window, not to the router.  Its texts travel
    // over the bus, so a local stand-in takes the attached window's place.
    HWND ctl = CreateWindowProc(Program, false);
    Shell.ControlWindow = ctl;
    Dlg.SelectedSource = 3;
    Dlg.SelectedDest = 5;
    TakeRoute();
    ASSERT_EQ(Count(2776, ctl), 1u);
    EXPECT_EQ(Got.back().text, "RC 7 3 5 ',---' 0");
    EXPECT_EQ(Routing.TallyTable[5], 0);
    Send(2775, 0, 7);
    EXPECT_EQ(Shell.ControlWindow, 0u);
    EXPECT_EQ(Code(IDC_CONTROL), "/__2B0_");
}

// Attached windows must be other programs': 0, HWND_BROADCAST and our own
// windows are refused, whatever was attached stays, and nothing is sent.
// Our own main window attached as the external driver would make 2179 and
// 2190 call the main window from itself until the stack ran out.
TEST_F(MainWndTest, AttachRefusesBroadcastZeroAndOwnWindows)
{
    Profile.DebugMode = 1;
    HWND local = CreateWindowProc(Program, false);
    const HWND refused[] = {0, HWND_BROADCAST, Shell.MainWindow, Dlg.Dialog, local};
    for (UINT code : {2734u, 49155u, 2774u, 49164u}) {
        bool external = code == 2734 || code == 49155;
        HWND &attached = external ? Shell.ExternalDriverWindow : Shell.ControlWindow;
        for (HWND before : {HWND{0}, kAbroad}) {
            for (HWND window : refused) {
                SCOPED_TRACE(testing::Message() << code << " " << window << " over " << before);
                attached = before;
                Got.clear();
                EXPECT_EQ(Send(code, window, 7), 0);
                ASSERT_EQ(attached, before);
                EXPECT_TRUE(Got.empty());
                EXPECT_EQ(Text(external ? IDC_DRIVER : IDC_CONTROL), "Internal");
            }
        }
        attached = 0;
    }
    // The link messages after a refused self-attach: answered, nothing sent.
    Send(2734, Shell.MainWindow, 7);
    EXPECT_EQ(Send(2179, 0, 7), 0);
    EXPECT_EQ(Send(2181, 0, 7), 1);
    EXPECT_EQ(Send(2190, 0, 0), 0);
    EXPECT_EQ(Link.TxRxMode, 1);
    EXPECT_TRUE(Got.empty());
    // VEK is found by the attach broadcast only; a later 2032 changes nothing.
    EXPECT_EQ(Send(2032, HWND_BROADCAST, 0), 0);
    EXPECT_EQ(Send(2032, kAbroad, 0), 0);
    EXPECT_EQ(Link.VekWindow, vek);
}

TEST_F(MainWndTest, TallyTextBounds)
{
    Routing.TallyTable[12] = 3;
    char buf[16] = "untouched";
    Send(2778, 4096, reinterpret_cast<LPARAM>(buf));
    EXPECT_STREQ(buf, "untouched");
    Send(2778, 0, reinterpret_cast<LPARAM>(buf));
    EXPECT_STREQ(buf, "untouched");
    Send(2778, 12, reinterpret_cast<LPARAM>(buf));
    EXPECT_STREQ(buf, "3");
    Routing.TallyTable[12] = -1;
    Send(2778, 12, reinterpret_cast<LPARAM>(buf));
    EXPECT_STREQ(buf, "-1");
}

TEST_F(MainWndTest, CommandsReachTheInterpreter)
{
    char cmd[] = "RC 7 4 9 ',---' 0";
    EXPECT_EQ(Send(2777, 0, reinterpret_cast<LPARAM>(cmd)), 0);
    EXPECT_EQ(Routing.TallyTable[9], 4);
    EXPECT_EQ(Commands.CommandCounter, 1u);
    EXPECT_EQ(Text(IDC_RXCOUNT), "00000001");
    char cmd2[] = "RC 7 6 9 ',---' 0";
    EXPECT_EQ(Send(2189, 0, reinterpret_cast<LPARAM>(cmd2)), 1);
    EXPECT_EQ(Routing.TallyTable[9], 6);
}

TEST_F(MainWndTest, DatabaseChangeRestartsOneShotReload)
{
    for (int i = 0; i < 5; ++i)
        Send(2174, 0, static_cast<LPARAM>((1u << 16) | 9u));
    EXPECT_EQ(Shell.NoticeDatabase, 1);
    EXPECT_EQ(Shell.NoticeIndex, 9);
    EXPECT_TRUE(TimerRunning(Shell.MainWindow, 6));
    EXPECT_EQ(TimerPeriod(Shell.MainWindow, 6), 1000u);
    ASSERT_TRUE(WaitFor([&] {
        LoopRunOnce(50);
        return Count(2164) > 0;
    }, 5000));
    EXPECT_EQ(Count(2164), 48u);  // one reload: 16 sources and 32 destinations
    EXPECT_FALSE(TimerRunning(Shell.MainWindow, 6));
}

TEST_F(MainWndTest, KeyboardToggleAndMenu)
{
    BuildMainMenu();
    for (int id = kMenuSourceBox; id <= kMenuLock; ++id)
        EnableMenuItem(id, false);
    Send(WM_COMMAND, kMenuKeyboard, 0);
    EXPECT_EQ(Shell.KeyboardEnabled, 1);
    EXPECT_TRUE(MenuItemChecked(kMenuKeyboard));
    EXPECT_TRUE(MenuItemEnabled(kMenuTake));
    EXPECT_EQ(Code(IDC_KEYBOARD), "/__1B__");
    EXPECT_EQ(Text(IDC_KEYBOARD), "Enabled");
    EXPECT_EQ(FocusedControl(), IDC_DESTS);
    EXPECT_EQ(ListGetSel(Dlg.Dialog, IDC_DESTS), 0);
    Send(WM_COMMAND, kMenuKeyboard, 0);
    EXPECT_EQ(Shell.KeyboardEnabled, 0);
    EXPECT_FALSE(MenuItemEnabled(kMenuSourceBox));
    EXPECT_FALSE(MenuItemChecked(kMenuKeyboard));
    EXPECT_EQ(Text(IDC_KEYBOARD), "Disabled");
}

TEST_F(MainWndTest, ClearErrorsShowsZeroOnUsedPorts)
{
    Ports.InUse[2] = 1;
    Ports.ErrorCount[2] = 5;
    Ports.ErrorCount[3] = 4;
    Send(WM_COMMAND, kMenuClearErrors, 0);
    EXPECT_EQ(Ports.ErrorCount[2], 0u);
    EXPECT_EQ(Ports.ErrorCount[3], 0u);
    EXPECT_EQ(Text(IDC_ERRORS + 2), "0");
    EXPECT_EQ(Text(IDC_ERRORS + 3), "");
}

TEST_F(MainWndTest, PanelSelectTakeAndLock)
{
    Routing.TallyTable[5] = 12;
    Shell.DriverId = 3;
    ListSetSel(Dlg.Dialog, IDC_DESTS, 4);
    SendMessage(Dlg.Dialog, WM_COMMAND, IDC_DESTS, 0);
    EXPECT_EQ(Dlg.SelectedDest, 5);
    EXPECT_EQ(Dlg.SelectedSource, 12);
    EXPECT_EQ(ListGetSel(Dlg.Dialog, IDC_SOURCES), 11);
    // Lock it from the panel: the text goes straight to the interpreter.
    uint64_t beeps = BeepCount();
    SendMessage(Dlg.Dialog, WM_COMMAND, IDC_LOCK, 0);
    EXPECT_EQ(BeepCount(), beeps + 1);
    EXPECT_NE(Routing.LockTable[5], 0);
    EXPECT_EQ(Text(IDC_LOCK), "Locked");
    EXPECT_EQ(Code(IDC_LOCK), "/1B____");
    EXPECT_FALSE(IsDlgItemEnabled(Dlg.Dialog, IDC_TAKE));
    SendMessage(Dlg.Dialog, WM_COMMAND, IDC_LOCK, 0);
    EXPECT_EQ(Routing.LockTable[5], 0);
    EXPECT_EQ(Text(IDC_LOCK), "Unlocked");
    EXPECT_TRUE(IsDlgItemEnabled(Dlg.Dialog, IDC_TAKE));
    // A tally of -1 leaves the source list without a selection.
    Routing.TallyTable[5] = -1;
    ShowSelectedDest();
    EXPECT_EQ(ListGetSel(Dlg.Dialog, IDC_SOURCES), -1);
}

TEST_F(MainWndTest, TakeNeedsASourceAndAnUnlockedDestination)
{
    Dlg.SelectedSource = 0;  // as right after start-up
    TakeRoute();
    EXPECT_EQ(Commands.CommandCounter, 0u);
    Dlg.SelectedSource = 4;
    Dlg.SelectedDest = 6;
    Routing.LockTable[6] = 1;
    Send(WM_COMMAND, kMenuTake, 0);  // the menu's Take refuses a locked destination
    EXPECT_EQ(Commands.CommandCounter, 0u);
    Routing.LockTable[6] = 0;
    Send(WM_COMMAND, kMenuTake, 0);
    EXPECT_EQ(Routing.TallyTable[6], 4);
}

TEST_F(MainWndTest, AboutBox)
{
    Send(WM_COMMAND, kMenuAbout, 0);
    HWND box = AboutBoxWindow();
    ASSERT_NE(box, 0u);
    EXPECT_EQ(GetDlgItemText(box, IDC_ABOUT_VERSION), "Version 3.06.09");
    std::string build = GetDlgItemText(box, IDC_ABOUT_BUILD);
    EXPECT_EQ(build.size(), 11u + 3u + 8u);
    EXPECT_EQ(build.substr(11, 3), " - ");
}

TEST_F(MainWndTest, CloseRunsShutdownOnce)
{
    Send(WM_CLOSE, 0, 0);
    EXPECT_TRUE(Shell.ShuttingDown);
    EXPECT_FALSE(TimerRunning(Dlg.Dialog, 2));
    EXPECT_EQ(Count(2186, vek), 1u);
    Send(2175, 0, 0);
    EXPECT_EQ(Count(2186, vek), 1u);
    EXPECT_FALSE(LoopRunOnce(0));  // the quit message is posted
}

TEST_F(MainWndTest, TalliesAndRoutesOfAnExternalDriver)
{
    // EXTERNAL: 2736 is the external driver telling what its router carries.
    Profile.DriverMode = kDriverExternal;
    Send(2736, 9, 4);
    EXPECT_EQ(Routing.TallyTable[9], 4);
    EXPECT_EQ(Got.back().text, "RR 007 009 004");
    EXPECT_EQ(Send(2737, 9, 0), 4);
    Send(2736, 99, 4);  // no such destination
    EXPECT_EQ(Routing.TallyTable[99], 0);
    // INTERNAL: the same message is a route request, checked like any RC.
    Profile.DriverMode = kDriverInternal;
    Link.WorkStation = 0;
    Send(2736, 10, 6);
    EXPECT_EQ(Routing.TallyTable[10], 6);  // simulation answers from the table
    Routing.LockTable[11] = 1;
    Send(2736, 11, 6);
    EXPECT_EQ(Routing.TallyTable[11], 0);
}

// The extension messages write only within the block that came, never take
// a number for an address, and the command message is refused from VEK and
// through the bridge while other senders have it run with the usual checks.
TEST_F(MainWndTest, ExtensionMessagesStayInTheirBlockAndRefuseTheControlSide)
{
    HWND ops = CreateWindowProc(Program, false);
    char block[64];
    std::memset(block, 'x', sizeof block);
    Routing.TallyTable[1] = 5;
    // 20 bytes hold three whole "d s l" lines and the zero.
    EXPECT_EQ(BusSendBlock(ops, Shell.MainWindow, kWexTallies, 1, block, 20), 3);
    EXPECT_STREQ(block, "1 5 0\n2 0 0\n3 0 0\n");
    EXPECT_EQ(block[20], 'x');
    EXPECT_EQ(BusSendBlock(ops, Shell.MainWindow, kWexTallies, 33, block, 20), 0);
    EXPECT_EQ(Send(kWexInfo, 0, 0x1234), 0);  // no block: nothing written
    EXPECT_EQ(Send(kWexPorts, 0, 0x1234), 0);

    const struct {
        HWND sender;
        const char *text;
        int32_t enabled;
        LRESULT result;
        int32_t tally;
    } cases[] = {
        {vek, "RC 7 4 9 ',---' 0", 1, kWexCommandRefused, 0},
        {ops, "RF 7 0", 1, kWexCommandNotAllowed, 0},
        {ops, "RC 7 4 9 ',---' 0", 0, kWexCommandInhibited, 0},
        {ops, "RC 7 4 9 ',---' 0", 1, kWexCommandRun, 4},
        {ops, "RL 7 9 9 1 0", 1, kWexCommandRun, 4},
        {ops, "RC 7 6 9 ',---' 0", 1, kWexCommandRun, 4},  // locked: the interpreter refuses
    };
    for (const auto &c : cases) {
        char text[64] = {};
        std::snprintf(text, sizeof text, "%s", c.text);
        Commands.CommandsEnabled = c.enabled;
        EXPECT_EQ(BusSendBlock(c.sender, Shell.MainWindow, kWexCommand, 0, text,
                               static_cast<uint32_t>(std::strlen(text) + 1)),
                  c.result)
            << c.text;
        EXPECT_EQ(Routing.TallyTable[9], c.tally) << c.text;
    }
    // Through the bridge (an attached program's channel): refused.
    Routing.LockTable[9] = 0;
    char text[kBridgeTextSize + 1] = "RC 7 2 9 ',---' 0";
    COPYDATASTRUCT record{static_cast<uint32_t>(kWexCommand) << 16, kBridgeTextSize, text};
    BridgeReceive(Shell.MainWindow, ops, &record);
    EXPECT_EQ(Routing.TallyTable[9], 4);
    // The read messages answer through the bridge within its 513 bytes.
    char read[kBridgeTextSize + 1] = {};
    COPYDATASTRUCT info{static_cast<uint32_t>(kWexInfo) << 16, kBridgeTextSize, read};
    Got.clear();
    BridgeReceive(Shell.MainWindow, ops, &info);
    ASSERT_EQ(Count(WM_COPYDATA, ops), 1u);
}

// The revertive journal: numbered from the first look on, read after a
// number, the oldest lost first when a reader falls too far behind.
TEST_F(MainWndTest, RevertiveJournalKeepsTheNewest)
{
    HWND ops = CreateWindowProc(Program, false);
    EXPECT_EQ(Send(kWexRevertives, 0, 0), 0);  // the journal starts here
    Routing.TallyTable[4] = 2;
    for (int i = 0; i < 3; ++i)
        SendRevertives(4, 5, 1, 0);
    std::vector<char> block(65536);
    EXPECT_EQ(BusSendBlock(ops, Shell.MainWindow, kWexRevertives, 4, block.data(), 64), 6);
    EXPECT_STREQ(block.data(), "5 4 2\n6 5 0\n");
    EXPECT_EQ(BusSendBlock(ops, Shell.MainWindow, kWexRevertives, 6, block.data(), 64), 6);
    EXPECT_STREQ(block.data(), "");
    SendRevertives(1, 32, 1, 0);
    for (uint32_t i = 0; i < kRevertiveJournalSize / 32; ++i)
        SendRevertives(1, 32, 1, 0);
    uint32_t last = 6 + 32 + kRevertiveJournalSize;
    EXPECT_EQ(static_cast<uint32_t>(Send(kWexRevertives, 0, 0)), last);
    EXPECT_EQ(BusSendBlock(ops, Shell.MainWindow, kWexRevertives, 0, block.data(), 65536),
              static_cast<LRESULT>(last));
    std::string first = std::to_string(last - kRevertiveJournalSize + 1) + " ";
    EXPECT_EQ(std::string(block.data()).rfind(first, 0), 0u) << "the oldest kept comes first";
    EXPECT_EQ(CountOccurrences(block.data(), "\n"), kRevertiveJournalSize);
}
