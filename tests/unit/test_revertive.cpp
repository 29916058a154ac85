// Revertives, the network-status exchange and the tally requests of an
// external driver, against an in-process VEK, external driver and control
// window.
#include "link_peers.h"

using namespace peers;

namespace {

struct RevertiveTest : LinkTest {};

uint32_t Notice(const Received &r) { return static_cast<uint32_t>(r.lParam); }

}  // namespace

TEST_F(RevertiveTest, BatchReportFlagsOnlyTheLastText)
{
    Routing.TallyTable[5] = 1;
    Routing.TallyTable[6] = 12;
    Routing.TallyTable[7] = 123;
    Profile.DatabaseSize_0 = 200;
    SendRevertives(5, 7, 2, 3);
    auto sent = To(Vek);
    ASSERT_EQ(sent.size(), 3u);
    const char *texts[] = {"RR 007 005 001", "RR 007 006 012", "RR 007 007 123"};
    const WPARAM tags[] = {3, 3, 0x8003};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[i].code, 2188u);
        EXPECT_EQ(sent[i].text, texts[i]);
        EXPECT_EQ(sent[i].wParam, tags[i]);
    }
    EXPECT_EQ(RevertiveCounter, 3u);
    EXPECT_EQ(GetDlgItemText(Dlg.Dialog, IDC_TXCOUNT), "00000003");

    // Kind 1: code 2187 and the tag as given, also on the last text.
    Inbox.clear();
    SendRevertives(5, 7, 1, 3);
    sent = To(Vek);
    ASSERT_EQ(sent.size(), 3u);
    for (const Received &r : sent) {
        EXPECT_EQ(r.code, 2187u);
        EXPECT_EQ(r.wParam, 3u);
    }
    EXPECT_EQ(GetDlgItemText(Dlg.Dialog, IDC_TXCOUNT), "00000006");
}

TEST_F(RevertiveTest, TallyFormattingAndRepair)
{
    struct Case {
        int32_t dest, tally;
        const char *text;
        int32_t after;  // the table entry after the report
    };
    const Case cases[] = {
        {12, -1, "RR 007 012 -01", -1},   {12, 5000, "RR 007 012 -01", -1},
        {12, -2, "RR 007 012 -01", -1},   {12, 4096, "RR 007 012 4096", 4096},
        {12, 4097, "RR 007 012 -01", -1}, {1000, 42, "RR 007 1000 042", 42},
        {4096, 0, "RR 007 4096 000", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Inbox.clear();
        Routing.TallyTable[c.dest] = c.tally;
        SendRevertives(c.dest, c.dest, 1, 0);
        EXPECT_EQ(Texts(Vek), std::vector<std::string>{c.text});
        EXPECT_EQ(Routing.TallyTable[c.dest], c.after);
    }
}

TEST_F(RevertiveTest, RangeIsKeptInsideTheTables)
{
    SendRevertives(4095, 5000, 1, 0);
    EXPECT_EQ(Texts(Vek), (std::vector<std::string>{"RR 007 4095 000", "RR 007 4096 000"}));
    Inbox.clear();
    SendRevertives(-3, 1, 1, 0);
    EXPECT_EQ(Texts(Vek), std::vector<std::string>{"RR 007 001 000"});
}

TEST_F(RevertiveTest, NothingLeavesUnlessTxRx)
{
    Shell.ExternalDriverWindow = External;
    Shell.ControlWindow = Control;
    DefineControl(Dlg.Dialog, IDC_LOCK, ControlKind::StatusButton, "");
    Dlg.SelectedDest = 6;
    Routing.LockTable[6] = 1;
    for (int32_t mode : {0, 1, 3, 5}) {
        SCOPED_TRACE(mode);
        Link.TxRxMode = mode;
        SendRevertives(5, 7, 2, 3);
        EXPECT_TRUE(Inbox.empty());
        EXPECT_EQ(RevertiveCounter, 0u);
        EXPECT_EQ(GetDlgItemText(Dlg.Dialog, IDC_TXCOUNT), "");
        EXPECT_EQ(GetDlgItemText(Dlg.Dialog, IDC_LOCK), "");
    }
}

TEST_F(RevertiveTest, AttachedProgramsHearFirstInTheirOrder)
{
    Shell.ExternalDriverWindow = External;
    Shell.ControlWindow = Control;
    Routing.TallyTable[5] = 9;
    Routing.TallyTable[6] = -1;
    SendRevertives(5, 6, 1, 0);
    ASSERT_EQ(Inbox.size(), 6u);
    const HWND order[] = {External, External, Control, Control, Vek, Vek};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(Inbox[i].window, order[i]) << i;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Inbox[i].code, 2742u);
        EXPECT_EQ(Inbox[i].wParam, 7u);
    }
    EXPECT_EQ(Notice(Inbox[0]), 0x00090005u);
    EXPECT_EQ(Notice(Inbox[1]), 0xFFFF0006u);
    EXPECT_EQ(Notice(Inbox[2]), 0x00090005u);
    EXPECT_EQ(Notice(Inbox[3]), 0xFFFF0006u);
    EXPECT_EQ(Inbox[5].text, "RR 007 006 -01");
    EXPECT_EQ(RevertiveCounter, 2u);  // only the texts to VEK count
}

TEST_F(RevertiveTest, VirtualDestinationsReportWhatTheControlSystemRouted)
{
    Profile.FirstVirtual = 100;
    Profile.DatabaseSize_0 = 200;
    Profile.DatabaseSize_1 = 200;
    Routing.VirtualTable[3] = 100;  // routed to virtual source 100
    Routing.TallyTable[3] = 7;      // the real source behind it
    Routing.VirtualTable[4] = 2;    // a plain route; the router now carries 9
    Routing.TallyTable[4] = 9;
    Routing.VirtualTable[150] = 65535;  // a saved -1 read back, on a virtual number
    Routing.VirtualTable[151] = 3;        // virtual source 151 is fed by source 3
    SendRevertives(3, 4, 1, 0);
    SendRevertives(150, 151, 1, 0);
    EXPECT_EQ(Texts(Vek), (std::vector<std::string>{"RR 007 003 100", "RR 007 004 009",
                                                    "RR 007 150 -01", "RR 007 151 003"}));
    EXPECT_EQ(Routing.VirtualTable[150], 65535);
}

TEST_F(RevertiveTest, PanelIsRefreshedOnlyForTheSelectedDestination)
{
    DefineControl(Dlg.Dialog, IDC_LOCK, ControlKind::StatusButton, "");
    Routing.LockTable[9] = 1;
    Dlg.SelectedDest = 9;
    SendRevertives(1, 8, 1, 0);
    EXPECT_EQ(GetDlgItemText(Dlg.Dialog, IDC_LOCK), "");
    SendRevertives(9, 9, 1, 0);
    EXPECT_EQ(GetDlgItemText(Dlg.Dialog, IDC_LOCK), "Locked");
}

TEST_F(RevertiveTest, NetworkStatusSwitchesAndAnswers)
{
    Link.TxRxMode = 1;
    EXPECT_EQ(HandleNetworkStatus("NS 001 003 'TXRX=2' abc def ghi"), 1);
    EXPECT_EQ(Link.TxRxMode, 2);
    auto sent = To(Vek);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].code, 2215u);
    EXPECT_EQ(sent[0].wParam, 2u);
    EXPECT_EQ(sent[1].code, 2123u);
    EXPECT_EQ(sent[1].wParam, 0u);
    EXPECT_EQ(sent[1].text, "NS 007 003 'TXRX=2' abc def ghi");
}

TEST_F(RevertiveTest, NetworkStatusVariants)
{
    struct Case {
        const char *message;
        int result;
        int32_t mode;       // the mode afterwards (it starts at 2)
        const char *reply;  // null: nothing is sent
    };
    const Case cases[] = {
        {"NS 001 004 'TXRX=1' a b c", 0, 2, nullptr},  // another workstation
        {"NS 001 003 'Mode=2' a b c", 0, 2, nullptr},
        {"NS 001 003 'TXRXX=1' a b c", 0, 2, nullptr},
        {"NS 001 003 'txrx=1' a b c", 1, 1, "NS 007 003 'TXRX=1' a b c"},
        {"NS 001 003 'TxRx = 1'", 1, 1, "NS 007 003 'TXRX=1'   "},
        {"NS 001 003 'TXRX=5' x", 1, 2, "NS 007 003 'TXRX=2' x  "},
        {"NS 001 003 'TXRX' x y z", 1, 2, "NS 007 003 'TXRX=2' x y z"},
        {"NS 001 003 'TXRX=1abc' 'a b' c", 1, 1, "NS 007 003 'TXRX=1' a b c "},
        {"NS 999 3 TXRX=1", 1, 1, "NS 007 003 'TXRX=1'   "},
        {"NS", 0, 2, nullptr},
        // Numbers past 32 bits are no workstation and no mode (wrapped: 3, 1).
        {"NS 001 4294967299 'TXRX=1' a b c", 0, 2, nullptr},
        {"NS 001 003 'TXRX=4294967297' x", 1, 2, "NS 007 003 'TXRX=2' x  "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        Inbox.clear();
        Link.TxRxMode = 2;
        EXPECT_EQ(HandleNetworkStatus(c.message), c.result);
        EXPECT_EQ(Link.TxRxMode, c.mode);
        auto replies = Texts(Vek, 2123);
        if (c.reply)
            EXPECT_EQ(replies, std::vector<std::string>{c.reply});
        else
            EXPECT_TRUE(Inbox.empty());
    }
}

TEST_F(RevertiveTest, OverlongNetworkStatusReplyIsCut)
{
    std::string field(200, 'q');
    std::string message = "NS 001 003 'TXRX=2' " + field + " b c";
    EXPECT_EQ(HandleNetworkStatus(message.c_str()), 1);
    auto replies = Texts(Vek, 2123);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].size(), 127u);
    EXPECT_EQ(replies[0], ("NS 007 003 'TXRX=2' " + field).substr(0, 127));
}

TEST_F(RevertiveTest, RefreshAllOrBySource)
{
    RefreshRevertives(8, 1);
    EXPECT_TRUE(Inbox.empty());
    RefreshRevertives(7, 1);
    EXPECT_EQ(Texts(Vek, 2187).size(), 64u);

    Routing.TallyTable[3] = 5;
    Routing.TallyTable[40] = 5;
    Routing.TallyTable[41] = 6;
    struct Case {
        uint16_t database;
        size_t reports;
    };
    for (Case c : {Case{0, 2}, Case{1, 0}, Case{2, 2}, Case{3, 0}}) {
        SCOPED_TRACE(c.database);
        Inbox.clear();
        Shell.NoticeDatabase = c.database;
        Shell.NoticeIndex = 5;
        RefreshRevertives(7, 2);
        EXPECT_EQ(Texts(Vek, 2187).size(), c.reports);
    }
    Shell.NoticeDatabase = 0;
    Inbox.clear();
    RefreshRevertives(7, 2);
    EXPECT_EQ(Texts(Vek, 2187), (std::vector<std::string>{"RR 007 003 005", "RR 007 040 005"}));
}

TEST_F(RevertiveTest, TallyFromExternalDriver)
{
    TallyFromExternal(12, 5);
    EXPECT_EQ(Routing.TallyTable[12], 5);
    EXPECT_EQ(Texts(Vek, 2187), std::vector<std::string>{"RR 007 012 005"});
    EXPECT_TRUE(Logged("wParam = 12, lParam = 5"));

    Inbox.clear();
    TallyFromExternal(12, 65);
    TallyFromExternal(0, 5);
    TallyFromExternal(65, 5);
    TallyFromExternal(12, -1);
    EXPECT_TRUE(Inbox.empty());
    EXPECT_EQ(Routing.TallyTable[12], 5);
}

TEST_F(RevertiveTest, TallyRequestsOfExternalDriver)
{
    Shell.ExternalDriverWindow = External;
    Routing.TallyTable[12] = 5;
    Routing.TallyTable[4096] = -1;
    EXPECT_EQ(ReportTallyToExternal(12), 5);
    EXPECT_EQ(ReportTallyToExternal(4096), -1);
    auto sent = To(External, 2741);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].wParam, 12u);
    EXPECT_EQ(sent[0].lParam, 5);
    EXPECT_EQ(sent[1].wParam, 4096u);
    EXPECT_EQ(sent[1].lParam, -1);

    Inbox.clear();
    for (int32_t d : {0, -3, 4097, 100000})
        EXPECT_EQ(ReportTallyToExternal(d), -1) << d;
    EXPECT_TRUE(Inbox.empty());
}
