// The operator window under Qt's offscreen platform: an operator picks a
// destination and a source with the mouse, presses Take, and the route
// reaches the simulated router and its tally comes back to the panel.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <cstdlib>

#include "link/commands.h"
#include "platform/bus.h"
#include "platform/loop.h"
#include "platform/root.h"
#include "routing/tables.h"
#include "shell/shell.h"
#include "tests/support/system.h"
#include "ui/maindlg.h"
#include "ui/view/qtview.h"

namespace {

QWidget *MainWidget()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == "wexmain")
            return w;
    return nullptr;
}

void ClickRow(QListWidget *list, int row)
{
    QListWidgetItem *item = list->item(row);
    ASSERT_NE(item, nullptr);
    list->scrollToItem(item);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
}

}  // namespace

TEST(Panel, MouseRouteReachesRouterAndTallyComesBack)
{
    Site s;
    ASSERT_TRUE(s.StartVek({"--workstation", "3"}));
    ASSERT_TRUE(s.StartRouter(1, "HBXRCP", 16, 32, {"--identity"}));
    s.WriteProfile(7,
                   "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n"
                   "[WEX]\nName=Studio A\nInitTallyDelay=10\nTallyDelay=200\n"
                   "[Com_1]\nPort=1\nMinDest=1\nMaxDest=32\nProtocol=HBXRCP\nSpeed=38400\n");
    SetRootDirectory(s.root.dir.c_str());
    std::string error;
    ASSERT_TRUE(BusOpen(&error)) << error;
    static int argc = 1;
    static char name[] = "test_panel";
    static char *argv[] = {name, nullptr};
    ASSERT_TRUE(ViewInitialise(&argc, argv));
    Shell.DriverId = 7;
    ASSERT_EQ(CreateMainWindow(), 1);
    ASSERT_EQ(Shell.ExitCode, 0);
    ViewStart();
    ASSERT_TRUE(QTest::qWaitFor([] { return Commands.CommandsEnabled == 1; }, 20000));

    QWidget *main = MainWidget();
    ASSERT_NE(main, nullptr);
    main->showNormal();
    main->resize(760, 560);
    auto *sources = main->findChild<QListWidget *>("sources");
    auto *dests = main->findChild<QListWidget *>("dests");
    auto *take = main->findChild<QPushButton *>("take");
    ASSERT_TRUE(sources && dests && take);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dests->count() == 32 && sources->count() == 16; }, 5000));
    EXPECT_EQ(dests->item(11)->text().toStdString(), "DST 012");

    // Destination 12 carries source 12: the source list shows it.
    ClickRow(dests, 11);
    ASSERT_TRUE(QTest::qWaitFor([&] { return sources->currentRow() == 11; }, 5000));
    EXPECT_EQ(Dlg.SelectedDest, 12);
    ClickRow(sources, 4);
    ASSERT_TRUE(QTest::qWaitFor([] { return Dlg.SelectedSource == 5; }, 5000));
    QTest::mouseClick(take, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return s.RouterLog(1).find("RX .SA12,5") != std::string::npos; }, 5000))
        << s.RouterLog(1);
    ASSERT_TRUE(QTest::qWaitFor([] { return Routing.TallyTable[12] == 5; }, 5000));
    ASSERT_TRUE(s.WaitVek("text=\"RR 007 012 005\""));
    // A change on the router's own panel moves the panel's selection.
    s.Router(1, "set 1 12 9");
    ASSERT_TRUE(QTest::qWaitFor([&] { return sources->currentRow() == 8; }, 5000));

    // Restored, the grid shows where the port's poll has reached.
    auto *tally = main->findChild<QLabel *>("control1531");
    ASSERT_NE(tally, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !tally->text().isEmpty(); }, 5000));
    if (const char *shot = std::getenv("WEX_SCREENSHOT"))
        main->grab().save(shot);
    SendMessage(Shell.MainWindow, WM_CLOSE, 0, 0);
    ASSERT_TRUE(QTest::qWaitFor([] { return !LoopRunOnce(0); }, 5000));
    BusClose();
}
