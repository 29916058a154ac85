// Attach to VEK, registration, the link mode and the link messages of the
// main window, against an in-process VEK and external driver.
#include "link_peers.h"

#include <cstdio>

using namespace peers;

namespace {

struct Box {
    std::string text, caption;
};
std::vector<Box> Boxes;
void RecordBox(HWND, const char *text, const char *caption) { Boxes.push_back({text, caption}); }

// The bus as far as the attach broadcast goes: VEK hears 2031 and, before
// the broadcast returns, sends 2032 with its window to the sender.  That
// window is another program's (kVekAbroad); what is sent to it reaches the
// recording Vek window.
constexpr HWND kVekAbroad = 0x5e0c0001;
bool VekListens = true;
HWND VekAnswer = kVekAbroad;  // the window VEK's 2032 names
std::vector<Received> Broadcasts;
LRESULT BusSend(HWND target, UINT code, WPARAM wParam, LPARAM lParam)
{
    if (target == kVekAbroad)
        return PeerProc(Vek, code, wParam, lParam);
    if (target == HWND_BROADCAST) {
        Broadcasts.push_back({target, code, wParam, lParam, ""});
        if (VekListens && code == 2031)
            SendMessage(static_cast<HWND>(wParam), 2032, VekAnswer, 0);
    }
    return 0;
}
const LoopRemoteHooks kBus = {BusSend, nullptr, nullptr, nullptr, nullptr};

struct AttachTest : LinkTest {
    void SetUp() override
    {
        LinkTest::SetUp();
        Boxes.clear();
        Broadcasts.clear();
        VekListens = true;
        VekAnswer = kVekAbroad;
        SetMessageBoxHook(RecordBox);
        LoopSetRemoteHooks(&kBus);
    }
    void TearDown() override
    {
        LoopSetRemoteHooks(nullptr);
        SetMessageBoxHook(nullptr);
        LinkTest::TearDown();
    }
    const ControlModel &Interface() { return *GetControl(Dlg.Dialog, IDC_INTERFACE); }
};

}  // namespace

TEST_F(AttachTest, AttachFindsVekThroughItsNestedAnswer)
{
    Link = LinkState{};
    VekWorkStation = 12;
    EXPECT_EQ(AttachToVek(), 1);
    ASSERT_EQ(Broadcasts.size(), 1u);
    EXPECT_EQ(Broadcasts[0].code, 2031u);
    EXPECT_EQ(Broadcasts[0].wParam, Shell.MainWindow);
    EXPECT_EQ(Broadcasts[0].lParam, 0);
    EXPECT_EQ(Link.VekWindow, kVekAbroad);
    EXPECT_EQ(Link.WorkStation, 12);
    EXPECT_EQ(To(Vek, 2119).size(), 1u);
    EXPECT_TRUE(Logged("Trying to attach to VEK"));
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(AttachTest, AttachWithoutVekShowsMessageAndLeavesShutdownToCaller)
{
    Link = LinkState{};
    VekListens = false;
    EXPECT_EQ(AttachToVek(), 0);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].text, "Cannot find ZOLT Interface VEK.EXE");
    EXPECT_EQ(Boxes[0].caption, "! Error !");
    EXPECT_EQ(Link.VekWindow, 0u);
    EXPECT_EQ(Link.WorkStation, -1);  // never asked
    EXPECT_TRUE(Inbox.empty());
}

// VEK is found by the answer to our broadcast, and only another program's
// window can be VEK: 0, HWND_BROADCAST or a window of ours is no VEK, and a
// 2032 outside the broadcast changes nothing.
TEST_F(AttachTest, VekWindowOnlyFromTheBroadcastAnswer)
{
    HWND ours = CreateWindowProc(PeerProc, false);
    const HWND refused[] = {0, HWND_BROADCAST, Shell.MainWindow, Dlg.Dialog, ours};
    for (HWND answer : refused) {
        SCOPED_TRACE(answer);
        Link = LinkState{};
        Boxes.clear();
        VekAnswer = answer;
        EXPECT_EQ(AttachToVek(), 0);
        EXPECT_EQ(Link.VekWindow, 0u);
        EXPECT_EQ(Boxes.size(), 1u);
    }
    Link = LinkState{};
    VekAnswer = kVekAbroad;
    ASSERT_EQ(AttachToVek(), 1);
    for (HWND late : {kVekAbroad + 1, HWND_BROADCAST, Shell.MainWindow}) {
        EXPECT_EQ(SendMessage(Shell.MainWindow, 2032, late, 0), 0);
        EXPECT_EQ(Link.VekWindow, kVekAbroad);
    }
    EXPECT_TRUE(Logged("Ignored VEK window 0x0000ffff"));
}

// An external driver that answers a forwarded link message by sending the
// same message back: it is forwarded once, and the message coming back is
// answered as if no external driver were attached.  A different link
// message arriving meanwhile (VEK asking while we wait) is still forwarded.
int EchoDepth = 0, EchoCalls = 0;
UINT EchoWith = 0;  // 0: the message it got
LRESULT EchoProc(HWND window, UINT code, WPARAM, LPARAM)
{
    PeerProc(window, code, 0, 0);
    ++EchoCalls;
    if (EchoDepth >= 8)  // today's driver would never stop: end it here
        return 0;
    ++EchoDepth;
    SendMessage(Shell.MainWindow, EchoWith ? EchoWith : code, 0, 7);
    --EchoDepth;
    return 5;
}

TEST_F(AttachTest, ForwardedLinkMessageComingBackIsNotForwardedAgain)
{
    Shell.ExternalDriverWindow = CreateWindowProc(EchoProc, false);
    Profile.GoRxOnlyOnComFail = 0;
    struct Case {
        UINT code, echoWith;
        LRESULT answer;
        int calls;
    };
    const Case cases[] = {
        {2179, 0, 5, 1}, {2180, 0, 5, 1}, {2181, 0, 5, 1}, {2190, 0, 0, 1},
        {2179, 2181, 5, 2},  // 2181 meanwhile: forwarded; its echo 2181 is not
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        EchoCalls = EchoDepth = 0;
        EchoWith = c.echoWith;
        EXPECT_EQ(SendMessage(Shell.MainWindow, c.code, 0, 7), c.answer);
        EXPECT_EQ(EchoCalls, c.calls);
        EXPECT_EQ(Link.ForwardsUnderWay, 0u);
    }
    EXPECT_EQ(Link.TxRxMode, 1);  // the last 2190 stands
}

TEST_F(AttachTest, RegistrationAnswers)
{
    struct Case {
        LRESULT answer;
        int result;
        int32_t mode;
        const char *box;  // null: no message box
    };
    const Case cases[] = {
        {0, 1, 2, nullptr},
        {1, 0, 0, "Request refused - ID supplied is invalid"},
        {2, 0, 0, "Request refused - A driver has already registered this Id"},
        {3, 0, 0, "Request refused - VEK has not been enabled in Driver Mode"},
        {7, 0, 0, nullptr},
        {-1, 0, 0, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.answer);
        Boxes.clear();
        DebugLines.clear();
        Inbox.clear();
        DefineControl(Dlg.Dialog, IDC_INTERFACE, ControlKind::StatusButton, "");
        Link.TxRxMode = 1;
        VekRegisterAnswer = c.answer;

        EXPECT_EQ(RegisterDevice(), c.result);
        EXPECT_EQ(Link.TxRxMode, c.mode);
        auto sent = To(Vek, 2193);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].wParam, Shell.MainWindow);
        EXPECT_EQ(sent[0].lParam, 7);
        if (c.box) {
            ASSERT_EQ(Boxes.size(), 1u);
            EXPECT_EQ(Boxes[0].text, c.box);
            EXPECT_EQ(Boxes[0].caption, "! Error !");
        } else {
            EXPECT_TRUE(Boxes.empty());
        }
        char vekLine[32], resultLine[32];
        std::snprintf(vekLine, sizeof vekLine, "VEK handle 0x%04x", static_cast<unsigned>(Vek));
        std::snprintf(resultLine, sizeof resultLine, "Result is %d", static_cast<int>(c.answer));
        EXPECT_TRUE(Logged(vekLine));
        EXPECT_TRUE(Logged("Attempting to register device 7"));
        EXPECT_TRUE(Logged(resultLine));
        // Only an accepted registration touches the Interface button.
        EXPECT_EQ(Interface().text, c.result ? "Tx/Rx" : "");
        EXPECT_EQ(Interface().captionCode, c.result ? "/__2B0_" : "");
        EXPECT_EQ(GetWindowText(Shell.MainWindow), "");
    }
}

TEST_F(AttachTest, RegistrationWithInvalidIdNeverAsksVek)
{
    Shell.DriverId = 1000;
    EXPECT_EQ(RegisterDevice(), 0);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].text, "The supplied driver Id is invalid");
    EXPECT_TRUE(To(Vek, 2193).empty());
    EXPECT_TRUE(Logged("Result is 1"));
    EXPECT_FALSE(Logged("Attempting to register device 1000"));
}

TEST_F(AttachTest, DeregisterTellsVek)
{
    DeregisterDevice();
    auto sent = To(Vek, 2186);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].wParam, Shell.MainWindow);
    EXPECT_EQ(sent[0].lParam, 0);
}

TEST_F(AttachTest, ModeDisplay)
{
    struct Case {
        int32_t mode;
        const char *code, *caption, *title;
    };
    const Case cases[] = {
        {1, "/__1B0_", "Rx Only", "WEX_007 - RxOnly - V3.06.09"},
        {2, "/__2B0_", "Tx/Rx", "WEX_007 - TXRX - V3.06.09"},
        {3, "/__2B0_", "Tx/Rx", "WEX_007 - TXRX - V3.06.09"},
        {0, "/__1B0_", "Error!", "WEX_007 - Unknown Mode! - V3.06.09"},
        {4, "/__1B0_", "Error!", "WEX_007 - Unknown Mode! - V3.06.09"},
        {-1, "/__1B0_", "Error!", "WEX_007 - Unknown Mode! - V3.06.09"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        ShowTxRxMode(c.mode);
        EXPECT_EQ(Interface().captionCode, c.code);
        EXPECT_EQ(Interface().text, c.caption);
        EXPECT_EQ(GetWindowText(Shell.MainWindow), c.title);
        // 5 asks only: whatever is shown stays.
        ShowTxRxMode(5);
        EXPECT_EQ(Interface().captionCode, c.code);
        EXPECT_EQ(Interface().text, c.caption);
        EXPECT_EQ(GetWindowText(Shell.MainWindow), c.title);
    }
}

TEST_F(AttachTest, Message2733With5And3)
{
    EXPECT_EQ(HandleLinkMessage(2733, 1, 0), 1);
    EXPECT_EQ(HandleLinkMessage(2733, 5, 0), 1);
    EXPECT_EQ(Interface().text, "Rx Only");
    EXPECT_EQ(GetWindowText(Shell.MainWindow), "WEX_007 - RxOnly - V3.06.09");
    EXPECT_EQ(HandleLinkMessage(2733, 3, 0), 3);
    EXPECT_EQ(Interface().text, "Tx/Rx");
    EXPECT_EQ(GetWindowText(Shell.MainWindow), "WEX_007 - TXRX - V3.06.09");
    EXPECT_EQ(HandleLinkMessage(2732, 0, 0), 3);
    // VEK hears every request, the mode-5 question too.
    auto told = To(Vek, 2215);
    ASSERT_EQ(told.size(), 3u);
    const WPARAM modes[] = {1, 5, 3};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(told[i].wParam, modes[i]);
        EXPECT_EQ(told[i].lParam, 7);
    }
    // Mode 3 looks like Tx/Rx but lets no revertive out.
    Inbox.clear();
    SendRevertives(1, 3, 1, 0);
    EXPECT_TRUE(Inbox.empty());
    EXPECT_EQ(RevertiveCounter, 0u);
}

TEST_F(AttachTest, PortHealthFollowsGoRxOnlyOnComFail)
{
    // Section 1 is COM 3, section 3 is COM 5; section 2 is not in use.
    Ports.InUse[1] = Ports.InUse[3] = 1;
    Profile.Ports[1].Port = 3;
    Profile.Ports[3].Port = 5;
    struct Case {
        int32_t g;
        int failed;  // section in the comms-fail state, 0 none
        int healthy;
    };
    const Case cases[] = {
        {-1, 1, 1}, {-1, 3, 1}, {0, 0, 1}, {0, 1, 0}, {0, 3, 0}, {0, 2, 1},
        {3, 1, 0},  {3, 3, 1},  {5, 3, 0}, {1, 1, 1}, {2, 2, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "G " << c.g << " failed " << c.failed);
        Profile.GoRxOnlyOnComFail = c.g;
        for (int p = 1; p <= kMaxPorts; ++p)
            Ports.CommsFail[p] = p == c.failed ? 1 : 0;
        EXPECT_EQ(AllPortsHealthy(), c.healthy);
        EXPECT_EQ(HandleLinkMessage(2181, 0, 7), c.healthy);
    }
}

TEST_F(AttachTest, TxRxRequestForAnotherDeviceChangesNothing)
{
    Link.TxRxMode = 1;
    EXPECT_EQ(HandleLinkMessage(2180, 0, 8), 0);
    EXPECT_EQ(Link.TxRxMode, 1);
    EXPECT_TRUE(Inbox.empty());
    EXPECT_EQ(GetWindowText(Shell.MainWindow), "");
}

TEST_F(AttachTest, TxRxRequestGrantedByHealthyPorts)
{
    Link.TxRxMode = 1;
    Profile.GoRxOnlyOnComFail = 0;
    EXPECT_EQ(HandleLinkMessage(2180, 0, 7), 1);
    EXPECT_EQ(Link.TxRxMode, 2);
    ASSERT_EQ(To(Vek, 2215).size(), 1u);
    EXPECT_EQ(To(Vek, 2215)[0].wParam, 2u);

    Link.TxRxMode = 1;
    Ports.InUse[2] = 1;
    Ports.CommsFail[2] = 1;
    EXPECT_EQ(HandleLinkMessage(2180, 0, 7), 0);
    EXPECT_EQ(Link.TxRxMode, 1);
}

TEST_F(AttachTest, TxRxRequestAskedOfExternalDriver)
{
    Shell.ExternalDriverWindow = External;
    Link.TxRxMode = 1;
    ExternalAnswer = 0;
    EXPECT_EQ(HandleLinkMessage(2180, 99, 7), 0);
    EXPECT_EQ(Link.TxRxMode, 1);
    ExternalAnswer = 4;
    EXPECT_EQ(HandleLinkMessage(2180, 99, 7), 4);
    EXPECT_EQ(Link.TxRxMode, 2);
    auto asked = To(External, 2180);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].wParam, 0u);
    EXPECT_EQ(asked[0].lParam, 7);
}

TEST_F(AttachTest, HealthQuestionsWithExternalDriver)
{
    EXPECT_EQ(HandleLinkMessage(2181, 0, -1), 1);  // GoRxOnlyOnComFail -1: always healthy
    EXPECT_EQ(HandleLinkMessage(2179, 0, 7), 0);   // nobody to ask

    Shell.ExternalDriverWindow = External;
    ExternalAnswer = 0;
    EXPECT_EQ(HandleLinkMessage(2181, 0, 7), 0);  // the external driver's answer
    EXPECT_EQ(HandleLinkMessage(2181, 0, 8), 1);  // another device: our own ports
    ExternalAnswer = 6;
    EXPECT_EQ(HandleLinkMessage(2179, 0, 7), 6);
    EXPECT_EQ(HandleLinkMessage(2179, 0, 8), 0);
    EXPECT_EQ(To(External, 2181).size(), 1u);
    EXPECT_EQ(To(External, 2179).size(), 1u);
}

TEST_F(AttachTest, RxOnlySwitchIsNotToldToVek)
{
    Shell.ExternalDriverWindow = External;
    EXPECT_EQ(HandleLinkMessage(2190, 0, 0), 0);
    EXPECT_EQ(Link.TxRxMode, 1);
    EXPECT_EQ(Interface().text, "Rx Only");
    EXPECT_EQ(GetWindowText(Shell.MainWindow), "WEX_007 - RxOnly - V3.06.09");
    EXPECT_TRUE(To(Vek).empty());
    auto told = To(External, 2190);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].wParam, Shell.MainWindow);
    EXPECT_EQ(told[0].lParam, 7);
}
