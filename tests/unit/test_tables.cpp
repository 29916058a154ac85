// Range checks, virtual sources and the revertive-delay tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/profile.h"
#include "link/commands.h"
#include "protocols/protocol.h"
#include "routing/tables.h"
#include "platform/debug.h"
#include "shell/connect.h"
#include "shell/shell.h"
#include "tests/support/modules.h"
#include "ui/maindlg.h"

namespace {

std::vector<std::string> Routes;
std::vector<std::string> DebugLines;

void RecordRoute(const char *command) { Routes.emplace_back(command); }
void RecordDebug(const char *line) { DebugLines.emplace_back(line); }

class TablesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetModules();
        Routes.clear();
        DebugLines.clear();
        SetVirtualRouteHook(RecordRoute);
        SetDebugSink(RecordDebug);
        Shell.DriverId = 7;
        Profile.DatabaseSize_0 = 200;
        Profile.DatabaseSize_1 = 200;
        Profile.FirstVirtual = 100;
        Profile.RevertiveMode = kRevertiveRouter;
        Profile.DebugMode = 1;
        Commands.WorkstationAccess[1] = 1;
        // Real destinations start with tallies no route matches.
        for (int d = 1; d <= kMaxDest; ++d)
            Routing.TallyTable[d] = -1;
    }
    void TearDown() override
    {
        SetVirtualRouteHook(nullptr);
        SetDebugSink(nullptr);
    }
};

TEST_F(TablesTest, RangeChecks)
{
    Profile.DatabaseSize_0 = 16;
    Profile.DatabaseSize_1 = 32;
    EXPECT_EQ(IsValidSource(0), 1) << "source 0 parks";
    EXPECT_EQ(IsValidSource(16), 1);
    EXPECT_EQ(IsValidSource(17), 0);
    EXPECT_EQ(IsValidSource(-1), 0);
    EXPECT_EQ(IsValidDest(0), 0);
    EXPECT_EQ(IsValidDest(1), 1);
    EXPECT_EQ(IsValidDest(32), 1);
    EXPECT_EQ(IsValidDest(33), 0);
    Profile.DatabaseSize_1 = 5000;
    EXPECT_EQ(IsValidDest(4096), 1);
    EXPECT_EQ(IsValidDest(4097), 0) << "the tables end at 4096";
}

TEST_F(TablesTest, RealSourceToRealDestination)
{
    RouteVirtual("RC 7 5 3 'x' 1");
    EXPECT_EQ(Routing.VirtualTable[3], 5);
    EXPECT_EQ(Routes, (std::vector<std::string>{"RC 7 5 3 ',---' 1"}));
}

TEST_F(TablesTest, DefiningAVirtualSourceReroutesItsDestinations)
{
    Routing.VirtualTable[10] = 100;
    Routing.VirtualTable[11] = 100;
    Routing.VirtualTable[12] = 100;
    Routing.TallyTable[12] = 5;  // already carries the new source
    Routing.VirtualTable[13] = 4;  // routed to a real source: untouched
    RouteVirtual("RC 7 5 100 'x' 1");
    EXPECT_EQ(Routing.VirtualTable[100], 5);
    EXPECT_EQ(Routes, (std::vector<std::string>{"RC 7 5 10 ',---' 1", "RC 7 5 11 ',---' 1"}));
}

TEST_F(TablesTest, ChainOfVirtualSourcesEndsAtTheRealSource)
{
    Routing.VirtualTable[100] = 101;
    Routing.VirtualTable[101] = 7;
    Routing.TallyTable[4] = 9;
    Routing.VirtualTable[150] = 33;
    RouteVirtual("RC 7 100 3 'x' 1");
    EXPECT_EQ(Routes, (std::vector<std::string>{"RC 7 7 3 ',---' 1"}));
    EXPECT_EQ(Routing.VirtualTable[3], 100);

    // Before a report: destination 3 still shows the virtual source, other
    // real destinations show their tallies, virtual numbers are left alone.
    Routing.TallyTable[3] = 7;
    SyncVirtualTable(1, 200);
    EXPECT_EQ(Routing.VirtualTable[3], 100);
    EXPECT_EQ(Routing.VirtualTable[4], 9);
    EXPECT_EQ(Routing.VirtualTable[150], 33);
}

TEST_F(TablesTest, LoopOfVirtualSourcesParks)
{
    Routing.VirtualTable[100] = 101;
    Routing.VirtualTable[101] = 100;
    RouteVirtual("RC 7 100 3 'x' 1");
    EXPECT_EQ(ResolveVirtualSource(3), 0);
    EXPECT_EQ(Routes, (std::vector<std::string>{"RC 7 0 3 ',---' 1"}));
}

TEST_F(TablesTest, VirtualSourceNeverFeedsItself)
{
    Routing.VirtualTable[100] = 50;
    Routing.VirtualTable[120] = 120;
    RouteVirtual("RC 7 100 100 'x' 1");
    EXPECT_EQ(Routing.VirtualTable[100], 50);
    EXPECT_EQ(Routing.VirtualTable[120], 0) << "self-feeding entry found by the refresh";
    size_t deleted = 0;
    for (const auto &line : DebugLines)
        deleted += line == "<WE>-Deleting virtual source to same dest\n";
    EXPECT_EQ(deleted, 1u);

    RouteVirtual("RC 7 101 100 'x' 1");
    EXPECT_EQ(Routing.VirtualTable[100], 101);
}

TEST_F(TablesTest, RequestsThatFailACheckChangeNothing)
{
    Routing.LockTable[4] = 1;
    const char *refused[] = {
        "RC 8 5 3 'x' 1",    // another device
        "RC 7 5 3 'x' 2",    // workstation not allowed
        "RC 7 5 3 'x' 5000", // no such workstation
        "RC 7 201 3 'x' 1",  // source out of range
        "RC 7 5 0 'x' 1",    // destination 0
        "RC 7 5 201 'x' 1",  // destination out of range
        "RC 7 5 4 'x' 1",    // locked
    };
    for (const char *text : refused) {
        RouteVirtual(text);
        EXPECT_TRUE(Routes.empty()) << text;
    }
    for (int d = 1; d <= 200; ++d)
        ASSERT_EQ(Routing.VirtualTable[d], 0) << d;

    // Source 0 is valid and is not replaced by the park source here.
    Profile.ParkSource = 9;
    RouteVirtual("RC 7 0 3 'x' 1");
    EXPECT_EQ(Routing.VirtualTable[3], 0);
    EXPECT_EQ(Routes, (std::vector<std::string>{"RC 7 0 3 ',---' 1"}));
}

TEST_F(TablesTest, EntriesAbove4096AreUnknown)
{
    // A stored -1 reads back from the state file as 65535.
    Routing.VirtualTable[3] = 65535;
    Routing.VirtualTable[100] = 65535;
    Routing.VirtualTable[5] = 100;
    Routing.TallyTable[3] = 65535;
    Routing.VirtualTable[4] = 65535;
    Routing.TallyTable[4] = 9;
    EXPECT_EQ(ResolveVirtualSource(3), 0);
    EXPECT_EQ(ResolveVirtualSource(5), 0);

    Routing.VirtualTable[101] = 7;
    RouteVirtual("RC 7 7 101 'x' 1");  // refreshes every virtual route
    // 5 follows 100, which names nothing: parked.  3 holds no virtual
    // source at all and is left alone.
    EXPECT_EQ(Routes, (std::vector<std::string>{"RC 7 0 5 ',---' 1"}));

    SyncVirtualTable(1, 200);
    EXPECT_EQ(Routing.VirtualTable[3], -1) << "unknown entries show the tally, repaired";
    EXPECT_EQ(Routing.VirtualTable[4], 9) << "a known tally as it is";
    EXPECT_EQ(Routing.VirtualTable[5], 100);
    EXPECT_EQ(Routing.VirtualTable[100], 65535) << "virtual numbers are not synchronised";
}

TEST_F(TablesTest, SyncStopsBelowFirstVirtual)
{
    for (int d = 1; d <= 200; ++d)
        Routing.TallyTable[d] = 42;
    SyncVirtualTable(50, 4096);
    EXPECT_EQ(Routing.VirtualTable[49], 0);
    EXPECT_EQ(Routing.VirtualTable[50], 42);
    EXPECT_EQ(Routing.VirtualTable[99], 42);
    EXPECT_EQ(Routing.VirtualTable[100], 0);
}

// The built commands pass RouteCommand's own checks: in simulation a route
// shows at once in the tally, and a locked destination keeps its route.
TEST_F(TablesTest, LockedDestinationKeepsItsRouteWhenTheVirtualSourceChanges)
{
    Profile.Simulation = 1;
    Profile.SourceToDest = 1;
    Routing.VirtualTable[100] = 6;
    RouteVirtual("RC 7 100 10 'x' 1");
    RouteVirtual("RC 7 100 11 'x' 1");
    ASSERT_EQ(Routing.TallyTable[10], 6);
    ASSERT_EQ(Routing.TallyTable[11], 6);

    Routing.LockTable[11] = 1;
    RouteVirtual("RC 7 8 100 'x' 1");
    EXPECT_EQ(Routing.TallyTable[10], 8);
    EXPECT_EQ(Routing.TallyTable[11], 6);
}

TEST_F(TablesTest, RevertiveDelayHoldsTalliesUntilTheTick)
{
    Profile.RevertiveDelay = 500;
    Routing.TallyTable[4] = 2;
    Routing.PendingTable[4] = 2;
    Routing.TallyTable[6] = 3;
    Routing.PendingTable[6] = 0;  // a parked tally waiting
    ReportTally(1, 4, 9);
    EXPECT_EQ(Routing.TallyTable[4], 2);
    EXPECT_EQ(Routing.PendingTable[4], 9);

    ApplyPendingTallies();
    EXPECT_EQ(Routing.TallyTable[4], 9);
    EXPECT_EQ(Routing.TallyTable[6], 0);
    EXPECT_EQ(Routing.TallyTable[1], 0);
    EXPECT_EQ(Routing.TallyTable[201], -1) << "beyond the destination count";
}

// The tables reach the link and the window only through their hooks, in
// the order the rules call them; with no hooks they still keep the tables.
std::vector<std::string> Calls;

TEST_F(TablesTest, TableChangesReachTheLayersAboveThroughTheirHooksInOrder)
{
    RoutingHooks hooks;
    hooks.SendRevertives = [](int32_t first, int32_t last, int kind, uint32_t tag) {
        Calls.push_back("revertives " + std::to_string(first) + "-" + std::to_string(last) + " " +
                        std::to_string(kind) + " " + std::to_string(tag));
    };
    hooks.RouteCommand = [](const char *text) { Calls.push_back(std::string("route ") + text); };
    SetRoutingHooks(hooks);
    SetSelectedDestView([] { Calls.push_back("show"); });
    Calls.clear();

    Routing.TallyTable[5] = 3;
    RouteVirtual("RC 7 3 5 ',---' 1");  // already the tally: revertive, then the route
    Dlg.SelectedDest = 4;
    Routing.PendingTable[4] = 9;
    for (int d = 1; d <= 200; ++d)
        if (d != 4)
            Routing.PendingTable[d] = Routing.TallyTable[d];
    ApplyPendingTallies();
    const std::vector<std::string> expected = {"revertives 5-5 1 0", "route RC 7 3 5 ',---' 1",
                                               "revertives 4-4 1 0", "show"};
    EXPECT_EQ(Calls, expected);

    SetRoutingHooks(RoutingHooks{});
    SetSelectedDestView(nullptr);
    Calls.clear();
    Routing.PendingTable[4] = 11;
    ApplyPendingTallies();
    EXPECT_EQ(Routing.TallyTable[4], 11) << "the tables change without anyone above";
    EXPECT_TRUE(Calls.empty());
    ConnectLayers();  // the driver's wiring for the tests that follow
}

}  // namespace
