// The operator window on a real X server (Xvfb, Qt's xcb platform, which
// starts the reader threads the offscreen platform does not).  The real
// `wex` runs as a separate process for the stop signals, message boxes and
// the About box over the bus; the panel's own clicks run in this process
// with Qt's test helpers.  Each test program starts its own server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/bus.h"
#include "platform/dialog.h"
#include "platform/loop.h"
#include "platform/root.h"
#include "routing/tables.h"
#include "shell/shell.h"
#include "tests/support/system.h"
#include "tests/support/tallies.h"
#include "ui/about.h"
#include "ui/maindlg.h"
#include "ui/view/qtview.h"

namespace {

TempRoot *XLogs = nullptr;
XServer *X = nullptr;

struct XEnvironment : ::testing::Environment {
    void SetUp() override
    {
        XLogs = new TempRoot;
        X = new XServer;
        ASSERT_TRUE(StartXServer(X, XLogs->dir)) << "Xvfb did not start (scripts/install-deps installs it)";
    }
    void TearDown() override { StopXServer(X); }
};
const auto *const kX = ::testing::AddGlobalTestEnvironment(new XEnvironment);

const char kSimulated[] = "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n"
                          "[WEX]\nSimulation=1\nInitTallyDelay=60000\nTallyDelay=60000\n";

// Drivers of this site start with the window on our server.
void Windowed(Site &s)
{
    s.driverHeadless = false;
    s.driverEnv = {"DISPLAY=" + X->display, "QT_QPA_PLATFORM=xcb"};
}

// The ids of the X windows whose name matches the pattern (xdotool).
std::string XWindows(const std::string &pattern, const std::string &dir)
{
    static int n = 0;
    Child c;
    if (!StartChild(&c, {"/usr/bin/xdotool", "search", "--name", pattern}, {"DISPLAY=" + X->display}, dir,
                    "xdotool" + std::to_string(++n)))
        return "";
    if (!ChildWait(&c, 10000))
        ChildStop(&c, 500);
    return ChildOutput(c);
}

bool WaitXWindow(const std::string &pattern, const std::string &dir, bool present = true, int timeoutMs = 20000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (XWindows(pattern, dir).empty() != present)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

void XDo(const std::vector<std::string> &args, const std::string &dir)
{
    static int n = 0;
    Child c;
    std::vector<std::string> argv = {"/usr/bin/xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_TRUE(StartChild(&c, argv, {"DISPLAY=" + X->display}, dir, "xdo" + std::to_string(++n)));
    ASSERT_TRUE(ChildWait(&c, 10000));
}

bool MapsQt(pid_t pid)
{
    return ReadTextFile("/proc/" + std::to_string(pid) + "/maps").find("libQt6") != std::string::npos;
}

size_t BusSockets(Site &s)
{
    size_t n = 0;
    for (auto &e : std::filesystem::directory_iterator(s.Path("bus")))
        n += e.path().filename().string()[0] == 'w';
    return n;
}

std::string Dat(int id)
{
    char name[16];
    std::snprintf(name, sizeof name, "DEV_%03d.DAT", id);
    return name;
}

}  // namespace

// SIGTERM, SIGINT and SIGHUP with the window open, four times each, twelve
// drivers at once: every one runs the normal shutdown.
TEST(Window, StopSignalsRunTheShutdown)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    Windowed(s);
    const int stops[] = {SIGTERM, SIGINT, SIGHUP};
    for (int id = 11; id <= 22; ++id) {
        s.WriteProfile(id, kSimulated);
        ASSERT_TRUE(s.StartDriver("wex" + std::to_string(id), std::to_string(id)));
    }
    ASSERT_TRUE(s.WaitVek("RX code=2193 ", 12, 60000)) << s.VekLog();
    for (int id = 11; id <= 22; ++id)
        ASSERT_TRUE(WaitXWindow("Device " + std::to_string(id) + "$", s.root.dir)) << id;
    EXPECT_TRUE(MapsQt(s.Driver("wex11").pid));
    for (int id = 11; id <= 22; ++id) {
        std::filesystem::remove(s.Path(Dat(id)));  // the shutdown writes it again
        kill(s.Driver("wex" + std::to_string(id)).pid, stops[id % 3]);
    }
    for (int id = 11; id <= 22; ++id) {
        std::string name = "wex" + std::to_string(id);
        SCOPED_TRACE(name + " signal " + std::to_string(stops[id % 3]));
        ASSERT_TRUE(ChildWait(&s.Driver(name), 15000));
        EXPECT_EQ(s.Driver(name).exitStatus, 0);
        EXPECT_NE(s.DriverErrors(name).find("WEX closing..."), std::string::npos) << s.DriverErrors(name);
        EXPECT_TRUE(FileExists(s.Path(Dat(id))));
    }
    EXPECT_TRUE(s.WaitVek("RX code=2186 ", 12));
    EXPECT_EQ(BusSockets(s), 1u);  // vek's own
}

// The X server goes away under a running window (a logout, a crash): Qt
// ends the program itself, and the shutdown must still run first, saving
// the route made since start-up, deregistering and removing the socket.
TEST(Window, DisplayLossRunsTheShutdown)
{
    Site s;
    XServer own;
    ASSERT_TRUE(StartXServer(&own, s.root.dir));
    ASSERT_TRUE(s.StartVek());
    s.WriteProfile(7, kSimulated);
    s.driverHeadless = false;
    s.driverEnv = {"DISPLAY=" + own.display, "QT_QPA_PLATFORM=xcb"};
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(s.WaitVek("RX code=2193 ")) << s.DriverErrors();
    ASSERT_NE(Wexmsg(s, {"--text", "RC 7 5 9 ',---' 0", "--size", "64", "send", "driver:7", "31243"})
                  .find("result=1"), std::string::npos);
    StopXServer(&own);
    ASSERT_TRUE(ChildWait(&s.Driver(), 15000)) << s.DriverErrors();
    EXPECT_EQ(s.Driver().exitStatus, 1);  // the window system's own status
    EXPECT_NE(s.DriverErrors().find("the display went away"), std::string::npos) << s.DriverErrors();
    EXPECT_NE(s.DriverErrors().find("WEX closing..."), std::string::npos);
    EXPECT_EQ(StoredTallies(s.Path(Dat(7)), 9, 9)[9], 5);
    EXPECT_TRUE(s.WaitVek("RX code=2186 "));
    EXPECT_EQ(BusSockets(s), 1u);  // vek's own
}

// A stop request while a start-up message box waits for OK closes the box
// and abandons the start-up at once.
TEST(Window, StopClosesAStartupMessageBox)
{
    for (int round = 0; round < 3; ++round) {
        Site s;  // no profile: the database-size messages
        Windowed(s);
        ASSERT_TRUE(s.StartDriver("wex", "7"));
        ASSERT_TRUE(WaitXWindow("^! Error !$", s.root.dir)) << s.DriverErrors();
        auto sent = std::chrono::steady_clock::now();
        kill(s.Driver().pid, SIGTERM);
        ASSERT_TRUE(ChildWait(&s.Driver(), 5000));
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent);
        // Typically 100-300 ms; the margin is for a loaded machine (a box
        // that ignores the request never ends at all).
        EXPECT_LT(ms.count(), 3000);
        EXPECT_EQ(s.Driver().exitStatus, 1);
        EXPECT_NE(s.DriverErrors().find("WEX closing..."), std::string::npos);
        EXPECT_FALSE(FileExists(s.Path(Dat(7))));  // nothing was loaded, nothing saved
    }
}

// A 991 posted over the bus opens the About box; while it is up the router
// still sees its polls and the driver still answers on the bus.
TEST(Window, AboutBoxFromTheBusKeepsTheDriverServed)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    ASSERT_TRUE(s.StartRouter(1, "HBXRCP", 16, 32));
    s.WriteProfile(7, "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n"
                      "[WEX]\nInitTallyDelay=10\nTallyDelay=100\n"
                      "[Com_1]\nPort=1\nMinDest=1\nMaxDest=32\nProtocol=HBXRCP\nSpeed=38400\n");
    Windowed(s);
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    // The end of the start-up sweep: commands are taken from now on.
    ASSERT_TRUE(s.WaitVek("text=\"RR 007 032 -01\"")) << s.DriverErrors();
    ASSERT_TRUE(WaitXWindow("Device 7$", s.root.dir));
    EXPECT_NE(Wexmsg(s, {"post", "driver:7", "273", "991"}).find("posted"), std::string::npos);
    ASSERT_TRUE(WaitXWindow("^About$", s.root.dir)) << s.DriverErrors();

    // A second About meanwhile changes nothing (the send behind it is
    // answered after the post was handled).
    EXPECT_NE(Wexmsg(s, {"post", "driver:7", "273", "991"}).find("posted"), std::string::npos);
    EXPECT_NE(Wexmsg(s, {"send", "driver:7", "2737", "5"}).find("result="), std::string::npos);
    EXPECT_EQ(CountOccurrences(XWindows("^About$", s.root.dir), "\n"), 1u);
    size_t polls = CountOccurrences(s.RouterLog(1), "RX ");
    EXPECT_TRUE(WaitFor([&] { return CountOccurrences(s.RouterLog(1), "RX ") >= polls + 5; }, 10000));
    EXPECT_NE(Wexmsg(s, {"send", "driver:7", "2737", "5"}).find("result="), std::string::npos);
    s.Vek("cmd 7 RC 7 9 5 ',---' 0");
    EXPECT_TRUE(s.WaitRouter(1, "RX .SA5,9")) << s.DriverErrors();  // a route goes through meanwhile
    EXPECT_FALSE(XWindows("^About$", s.root.dir).empty());

    // Enter presses Ok: the box closes and the driver goes on.
    std::string about = XWindows("^About$", s.root.dir);
    about = about.substr(0, about.find('\n'));
    XDo({"windowfocus", "--sync", about}, s.root.dir);
    XDo({"key", "Return"}, s.root.dir);
    EXPECT_TRUE(WaitXWindow("^About$", s.root.dir, false));
    EXPECT_EQ(s.StopDriver(), 0);
}

// A display that does not exist: headless with one line saying so; Qt is
// never loaded, and SIGTERM still saves.
TEST(Window, MissingDisplayRunsHeadless)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    s.WriteProfile(7, kSimulated);
    s.driverHeadless = false;
    int none = FreeDisplayNumber(99);
    s.driverEnv = {"DISPLAY=:" + std::to_string(none), "QT_QPA_PLATFORM="};
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(s.WaitVek("RX code=2193 ")) << s.DriverErrors();
    EXPECT_FALSE(MapsQt(s.Driver().pid));
    std::string errors = s.DriverErrors();
    EXPECT_EQ(CountOccurrences(errors, "running headless"), 1u) << errors;
    EXPECT_NE(errors.find("cannot connect to X display :" + std::to_string(none)), std::string::npos) << errors;
    EXPECT_EQ(s.StopDriver(), 0);
    EXPECT_TRUE(FileExists(s.Path(Dat(7))));
}

// --headless, and a program without its window module next to it, map no Qt
// library even with a display at hand.
TEST(Window, HeadlessRunsMapNoQt)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    s.WriteProfile(7, kSimulated);
    s.WriteProfile(8, kSimulated);
    s.driverEnv = {"DISPLAY=" + X->display, "QT_QPA_PLATFORM=xcb"};
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    std::filesystem::create_directory(s.Path("alone"));
    std::filesystem::copy_file(WEX_BIN, s.Path("alone/wex"));
    Child &lone = s.Driver("lone");
    ASSERT_TRUE(StartChild(&lone, {s.Path("alone/wex"), "--root", s.root.dir, "8"}, s.driverEnv, s.root.dir, "lone"));
    ASSERT_TRUE(s.WaitVek("RX code=2193 ", 2)) << s.DriverErrors("lone");
    EXPECT_FALSE(MapsQt(s.Driver().pid));
    EXPECT_FALSE(MapsQt(lone.pid));
    EXPECT_EQ(s.DriverErrors().find("headless"), std::string::npos);
    EXPECT_EQ(CountOccurrences(s.DriverErrors("lone"), "wexview.so is not installed); running headless"), 1u)
        << s.DriverErrors("lone");
    EXPECT_EQ(s.StopDriver("lone"), 0);
    EXPECT_EQ(s.StopDriver(), 0);
}

// Installed, the module lives in the library directory: the program finds
// it there and shows the window.
TEST(Window, ModuleFoundInTheLibraryDirectory)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    s.WriteProfile(7, kSimulated);
    std::string bin = s.Path("usr/bin"), lib = bin + "/" WEX_VIEW_SUBDIR;
    std::filesystem::create_directories(lib);
    std::filesystem::copy_file(WEX_BIN, bin + "/wex");
    std::filesystem::copy_file(std::filesystem::path(WEX_BIN).parent_path() / "wexview.so", lib + "/wexview.so");
    Windowed(s);
    Child &wex = s.Driver();
    ASSERT_TRUE(StartChild(&wex, {bin + "/wex", "--root", s.root.dir, "7"}, s.driverEnv, s.root.dir, "wex"));
    ASSERT_TRUE(s.WaitVek("RX code=2193 ")) << s.DriverErrors();
    ASSERT_TRUE(WaitXWindow("Device 7$", s.root.dir)) << s.DriverErrors();
    std::string maps = ReadTextFile("/proc/" + std::to_string(wex.pid) + "/maps");
    EXPECT_NE(maps.find(std::filesystem::canonical(lib).string() + "/wexview.so"), std::string::npos);
    EXPECT_EQ(s.StopDriver(), 0);
}

// The panel in this process on the real display, one driver for the whole
// suite (simulation, timers a minute apart, so nothing is drawn unless the
// action itself draws it).  The tests run in order on the same panel.
class Panel : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        S = new Site;
        Names = S->Path("sources.txt");
        WriteTextFile(Names, NameFile("SRC"));
        ASSERT_TRUE(S->StartVek({"--source-names", Names}));
        S->WriteProfile(7, kSimulated);
        SetRootDirectory(S->root.dir.c_str());
        setenv("DISPLAY", X->display.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        std::string error;
        ASSERT_TRUE(BusOpen(&error)) << error;
        static int argc = 1;
        static char name[] = "test_window";
        static char *argv[] = {name, nullptr};
        ASSERT_TRUE(ViewInitialise(&argc, argv));
        Shell.DriverId = 7;
        ASSERT_EQ(CreateMainWindow(), 1);
        ViewStart();
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == "wexmain")
                Main = w;
        ASSERT_NE(Main, nullptr);
        Main->showNormal();
        Main->resize(760, 560);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Main));
        ASSERT_TRUE(QTest::qWaitFor([] { return List("dests")->count() == 32 && List("sources")->count() == 16; }, 5000));
    }
    static void TearDownTestSuite()
    {
        SendMessage(Shell.MainWindow, WM_CLOSE, 0, 0);
        EXPECT_TRUE(QTest::qWaitFor([] { return !LoopRunOnce(0); }, 5000));
        BusClose();
        delete S;
    }
    void SetUp() override
    {
        if (!Main)
            GTEST_SKIP() << "the panel did not start";
    }
    static std::string NameFile(const std::string &prefix)
    {
        std::string text;
        for (int i = 1; i <= 16; ++i)
            text += prefix + " " + std::to_string(i) + "\n";
        return text;
    }
    static QListWidget *List(const char *name) { return Main->findChild<QListWidget *>(name); }
    static QPushButton *Button(const char *name) { return Main->findChild<QPushButton *>(name); }
    static void Click(QListWidget *list, int row)
    {
        list->scrollToItem(list->item(row));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
    }

    static Site *S;
    static std::string Names;
    static QWidget *Main;
};
Site *Panel::S = nullptr;
std::string Panel::Names;
QWidget *Panel::Main = nullptr;

// Destination 1 carries source 3: the start-up selection highlights it, yet
// Take routes nothing until the operator picks a source, by clicking the
// highlighted entry too.  The command counter is drawn with no event served.
TEST_F(Panel, ClickOnTheHighlightedEntryThenTake)
{
    QListWidget *sources = List("sources");
    S->Vek("cmd 7 RC 7 3 1 ',---' 0");
    ASSERT_TRUE(QTest::qWaitFor([&] { return sources->currentRow() == 2; }, 5000));
    ASSERT_EQ(Dlg.SelectedSource, 0);
    Click(sources, 2);
    EXPECT_EQ(Dlg.SelectedSource, 3);
    auto *rx = Main->findChild<QLabel *>("control1102");
    QString before = rx->text();
    QTest::mouseClick(Button("take"), Qt::LeftButton);
    EXPECT_NE(rx->text(), before);
}

// A destination click shows its source at once; Take routes there at once.
TEST_F(Panel, DestinationClickAndTakeDrawnAtOnce)
{
    QListWidget *sources = List("sources");
    S->Vek("cmd 7 RC 7 12 9 ',---' 0");
    ASSERT_TRUE(QTest::qWaitFor([] { return Routing.TallyTable[9] == 12; }, 5000));
    Click(List("dests"), 8);
    EXPECT_EQ(sources->currentRow(), 11);
    Click(sources, 4);
    QTest::mouseClick(Button("take"), Qt::LeftButton);
    EXPECT_EQ(Routing.TallyTable[9], 5);
    EXPECT_EQ(sources->currentRow(), 4);
}

// Lock and unlock: label, Take and the button's look change at once.
TEST_F(Panel, LockDrawnAtOnceWithItsLook)
{
    QPushButton *lock = Button("lock"), *take = Button("take");
    QImage unlocked = lock->grab().toImage();
    QTest::mouseClick(lock, Qt::LeftButton);
    EXPECT_EQ(lock->text().toStdString(), "Locked");
    EXPECT_FALSE(take->isEnabled());
    EXPECT_NE(lock->grab().toImage().pixel(3, 3), unlocked.pixel(3, 3));
    QTest::mouseClick(lock, Qt::LeftButton);
    EXPECT_EQ(lock->text().toStdString(), "Unlocked");
    EXPECT_TRUE(take->isEnabled());
    EXPECT_EQ(lock->grab().toImage().pixel(3, 3), unlocked.pixel(3, 3));
}

// VEK renames every source (same count) and announces it: the list shows
// the new names after timer 6.
TEST_F(Panel, RenamedNamesReachTheList)
{
    QListWidget *sources = List("sources");
    WriteTextFile(Names, NameFile("CAM"));
    S->Vek("names source " + Names);
    S->Vek("msg 7 2174 0 0");
    EXPECT_TRUE(QTest::qWaitFor([&] { return sources->item(15)->text() == "CAM 16"; }, 5000));
    EXPECT_EQ(sources->item(0)->text().toStdString(), "CAM 1");
}

// NameLength 0 gives columns of width 0.
TEST_F(Panel, ZeroColumnWidth)
{
    QListWidget *sources = List("sources");
    EXPECT_EQ(sources->gridSize().width(), 72);
    ListSetColumnWidth(Dlg.Dialog, IDC_SOURCES, 0);
    PostMessage(Shell.MainWindow, 0, 0, 0);  // the loop wakes and the view looks
    EXPECT_TRUE(QTest::qWaitFor([&] { return sources->gridSize().width() == 0; }, 5000));
    ListSetColumnWidth(Dlg.Dialog, IDC_SOURCES, 72);
}

// About from the menu: the box shows the icon, and the bus is served while
// it is up.
TEST_F(Panel, AboutFromTheMenuKeepsTheBusServed)
{
    auto *bar = Main->findChild<QMenuBar *>();
    ASSERT_NE(bar, nullptr);
    QAction *about = nullptr;
    for (QAction *a : bar->actions())
        if (a->text() == "&About")
            about = a;
    ASSERT_NE(about, nullptr);
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(about).center());
    QWidget *box = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == "about" && w->isVisible())
                box = w;
        return box != nullptr;
    }, 5000));
    auto *icon = box->findChild<QLabel *>("wexicon");
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull());
    Child ask;
    ASSERT_TRUE(StartChild(&ask, {WEXMSG_BIN, "--root", S->root.dir, "send", "driver:7", "2737", "9"}, {},
                           S->root.dir, "ask"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !ChildRunning(&ask); }, 15000));
    EXPECT_NE(ChildOutput(ask).find("result=5"), std::string::npos) << ChildOutput(ask);
    QTest::mouseClick(box->findChild<QPushButton *>("ok"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !box->isVisible(); }, 5000));
}

// A stop request also closes a box the running driver shows from inside its
// loop's pump.
TEST_F(Panel, StopClosesABoxShownWhileRunning)
{
    int stop = eventfd(0, EFD_CLOEXEC);
    SetStopDescriptor(stop);
    static bool shown;
    shown = false;
    HWND boxer = CreateWindowProc([](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
        if (m == 0x400) {
            MessageBox(0, "a box while running", "! Error !");
            shown = true;
        }
        return 0;
    }, false);
    QTimer::singleShot(300, [stop] {
        uint64_t one = 1;
        EXPECT_EQ(write(stop, &one, sizeof one), 8);
    });
    auto posted = std::chrono::steady_clock::now();
    PostMessage(boxer, 0x400, 0, 0);
    EXPECT_TRUE(QTest::qWaitFor([] { return shown; }, 5000));
    EXPECT_LT(std::chrono::steady_clock::now() - posted, std::chrono::milliseconds(1500));
    EXPECT_EQ(MessageBoxLog().back(), "a box while running");
    SetStopDescriptor(-1);
    close(stop);
}

// The picture of the panel in the documentation: the real driver's window
// with a router on COM1, read back from the X server.
TEST(PanelPicture, ReadBackFromTheServer)
{
    Site s;
    ASSERT_TRUE(s.StartVek());
    ASSERT_TRUE(s.StartRouter(1, "HBXRCP", 16, 32, {"--identity"}));
    s.WriteProfile(7, "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n"
                      "[WEX]\nName=Studio A\nInitTallyDelay=10\nTallyDelay=200\n"
                      "[Com_1]\nPort=1\nMinDest=1\nMaxDest=32\nProtocol=HBXRCP\nSpeed=38400\n");
    Windowed(s);
    ASSERT_TRUE(s.StartDriver("wex", "7"));
    ASSERT_TRUE(s.WaitVek("text=\"RR 007 032 -01\"")) << s.DriverErrors();
    s.Vek("cmd 7 RC 7 5 1 ',---' 0");
    ASSERT_TRUE(s.WaitVek("text=\"RR 007 001 005\""));
    std::string id = XWindows("Device 7$", s.root.dir);
    ASSERT_FALSE(id.empty());
    static int argc = 1;
    static char name[] = "test_window";
    static char *argv[] = {name, nullptr};
    setenv("DISPLAY", X->display.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    if (!QApplication::instance())
        new QApplication(argc, argv);
    QTest::qWait(500);  // a few poll ticks on the grid
    QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(std::stoul(id));
    EXPECT_GT(shot.width(), 300);
    EXPECT_GT(shot.height(), 200);
    if (const char *path = std::getenv("WEX_SCREENSHOT")) {
        EXPECT_TRUE(shot.save(path));
    }
    EXPECT_EQ(s.StopDriver(), 0);
}


