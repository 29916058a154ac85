// The comms library on pseudo-terminals: results of open and close, the port
// table's lifetime, the receive ring and its overrun rules, notifications,
// writes, and a device that hangs up.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/loop.h"
#include "platform/profile.h"
#include "platform/root.h"
#include "serial/comms.h"
#include "serial/device.h"
#include "serial/ring.h"
#include "tests/support/support.h"

namespace {

// ---- the ring on its own ----

// Appends n bytes of the running pattern and returns how many the ring took.
int Fill(RingBuffer *ring, int n, int *next)
{
    std::vector<uint8_t> bytes(static_cast<size_t>(n));
    for (auto &b : bytes)
        b = static_cast<uint8_t>((*next)++ % 251);
    int appended = RingAppend(ring, bytes.data(), n);
    *next -= n - (appended > 0 ? appended : 0);  // what was refused comes next
    return appended;
}

TEST(Ring, IndicesWrapOnBothSidesAndDataSurvives)
{
    auto ring = std::make_unique<RingBuffer>();
    int next = 0, expect = 0;
    std::vector<uint8_t> out(kRingSize);
    Fill(ring.get(), 16000, &next);
    ASSERT_EQ(RingTake(ring.get(), out.data(), 16000), 16000);
    expect += 16000;
    // The next 1000 bytes cross the end of the data on both sides.
    EXPECT_EQ(Fill(ring.get(), 1000, &next), 1000);
    EXPECT_EQ(RingCount(ring.get()), 1000);
    ASSERT_EQ(RingTake(ring.get(), out.data(), kRingSize), 1000);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(out[static_cast<size_t>(i)], (expect + i) % 251) << i;
    EXPECT_EQ(ring->WriteIndex, (17000) % kRingSize);
    EXPECT_EQ(ring->ReadIndex, ring->WriteIndex);
    EXPECT_EQ(RingTake(ring.get(), out.data(), 10), 0);
}

TEST(Ring, FullRingTakesNoMoreAndOverwritesNothing)
{
    struct Case {
        const char *what;
        int first, second;  // two appends with no read between
        int taken;          // of the second
        int count;          // unread afterwards
    } cases[] = {
        {"16383 unread is the most the ring holds", 16000, 383, 383, 16383},
        {"one more is refused", 16000, 384, 383, 16383},
        {"a whole ring plus some at once", 10, 16384 + 20, 16373, 16383},
        {"a full ring takes nothing", 16383, 5, 0, 16383},
    };
    for (const Case &c : cases) {
        auto ring = std::make_unique<RingBuffer>();
        int next = 0;
        Fill(ring.get(), c.first, &next);
        EXPECT_EQ(Fill(ring.get(), c.second, &next), c.taken) << c.what;
        EXPECT_EQ(RingCount(ring.get()), c.count) << c.what;
        EXPECT_EQ(RingRoom(ring.get()), kRingSize - 1 - c.count) << c.what;
        std::vector<uint8_t> out(kRingSize);
        ASSERT_EQ(RingTake(ring.get(), out.data(), kRingSize), c.count) << c.what;
        for (int i = 0; i < c.count; ++i)
            ASSERT_EQ(out[static_cast<size_t>(i)], i % 251) << c.what << " byte " << i;
    }
}

TEST(Ring, FullRingReadsBackIntact)
{
    auto ring = std::make_unique<RingBuffer>();
    int next = 0;
    Fill(ring.get(), 5000, &next);  // start away from index 0
    std::vector<uint8_t> out(kRingSize);
    RingTake(ring.get(), out.data(), 5000);
    Fill(ring.get(), kRingSize - 1, &next);
    ASSERT_EQ(RingTake(ring.get(), out.data(), kRingSize), kRingSize - 1);
    for (int i = 0; i < kRingSize - 1; ++i)
        ASSERT_EQ(out[static_cast<size_t>(i)], (5000 + i) % 251) << i;
}

TEST(Ring, GuardHeldElsewhereGivesUp)
{
    auto ring = std::make_unique<RingBuffer>();
    int next = 0;
    Fill(ring.get(), 4, &next);
    ASSERT_TRUE(RingLock(ring.get()));
    uint8_t b[4];
    EXPECT_EQ(RingAppend(ring.get(), b, 4), -1);
    EXPECT_EQ(RingTake(ring.get(), b, 4), 0);
    EXPECT_EQ(RingCount(ring.get()), -1);
    EXPECT_EQ(RingRoom(ring.get()), -1);
    RingUnlock(ring.get());
    EXPECT_EQ(RingCount(ring.get()), 4);
}

// ---- line settings ----

TEST(LineSettings, CodesMapToTermios)
{
    constexpr tcflag_t kLine = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    struct Case {
        const char *what;
        int baud, byteSize, stopBits, parity;
        bool ok;
        tcflag_t cflag;  // the bits under kLine
        speed_t speed;
    } cases[] = {
        {"9600 8N1", 9600, 8, 0, 0, true, CS8, B9600},
        {"38400 7E1", 38400, 7, 0, 2, true, CS7 | PARENB, B38400},
        {"2400 7O1", 2400, 7, 0, 1, true, CS7 | PARENB | PARODD, B2400},
        {"mark", 19200, 8, 0, 3, true, CS8 | PARENB | PARODD | CMSPAR, B19200},
        {"space", 19200, 8, 0, 4, true, CS8 | PARENB | CMSPAR, B19200},
        {"two stop bits", 115200, 8, 2, 0, true, CS8 | CSTOPB, B115200},
        {"1.5 stop bits with 5 data bits", 1200, 5, 1, 0, true, CS5 | CSTOPB, B1200},
        {"1.5 stop bits with 8 data bits", 1200, 8, 1, 0, false, 0, 0},
        {"stop code 3", 9600, 8, 3, 0, false, 0, 0},
        {"parity code 5", 9600, 8, 0, 5, false, 0, 0},
        {"4 data bits", 9600, 4, 0, 0, false, 0, 0},
        {"baud 0", 0, 8, 0, 0, false, 0, 0},
        {"baud 9601", 9601, 8, 0, 0, false, 0, 0},
    };
    for (const Case &c : cases) {
        termios t{};
        t.c_cflag = CS6 | PARENB | CSTOPB | CRTSCTS;  // leftovers of an earlier user
        t.c_lflag = ECHO | ICANON;
        t.c_iflag = IXON | IXOFF | IXANY;
        bool ok = DeviceLineSettings(&t, c.baud, c.byteSize, c.stopBits, c.parity);
        ASSERT_EQ(ok, c.ok) << c.what;
        if (!ok)
            continue;
        EXPECT_EQ(t.c_cflag & kLine, c.cflag) << c.what;
        EXPECT_EQ(cfgetispeed(&t), c.speed) << c.what;
        EXPECT_EQ(cfgetospeed(&t), c.speed) << c.what;
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD) << c.what;
        EXPECT_EQ(t.c_cflag & CRTSCTS, static_cast<tcflag_t>(CRTSCTS)) << "flow control kept";
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON), 0u) << "raw: " << c.what;
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u) << "no XON/XOFF either way: " << c.what;
        EXPECT_EQ((t.c_iflag & INPCK) != 0, (c.cflag & PARENB) != 0) << c.what;
    }
}

// ---- the library on pseudo-terminals ----

struct Note {
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Note> Notes;

LRESULT NoteWindow(HWND, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMNOTIFY)
        Notes.push_back({wParam, lParam});
    return 0;
}

struct CommsTest : ::testing::Test {
    TempRoot root;
    std::vector<Pty> ptys;
    HWND window = 0;

    void SetUp() override
    {
        LoopReset();
        Notes.clear();
        SetRootDirectory(root.dir.c_str());
        window = CreateWindowProc(NoteWindow, false);
    }
    void TearDown() override
    {
        for (int i = 0; i < kCommPorts; ++i)
            CommClose(i);
        for (Pty &p : ptys)
            ClosePty(&p);
        LoopReset();
    }
    // A new pseudo-terminal whose slave is COM n.
    int NewPty(int com)
    {
        Pty p;
        EXPECT_TRUE(OpenPty(&p));
        SetCom(com, p.slavePath);
        ptys.push_back(p);
        return p.master;
    }
    void SetCom(int com, const std::string &path)
    {
        std::string key = "COM" + std::to_string(com);
        ASSERT_TRUE(WritePrivateProfileString("Serial", key.c_str(), path.c_str(),
                                              PathsFile().c_str()));
    }
    static void Send(int master, const std::string &bytes)
    {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    static int InQueue(int index)
    {
        COMSTAT st;
        CommGetStatus(index, &st);
        return static_cast<int>(st.cbInQue);
    }
    // Runs the message loop until cond holds or 10 s pass.
    static bool PumpUntil(const std::function<bool()> &cond)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!cond()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            LoopRunOnce(20);
        }
        return true;
    }
    static std::string ReadAll(int index)
    {
        std::string s;
        uint8_t buf[512];
        for (int n; (n = CommRead(index, buf, sizeof buf)) > 0;)
            s.append(reinterpret_cast<char *>(buf), static_cast<size_t>(n));
        return s;
    }
};

TEST_F(CommsTest, BadPortNumbersTouchNothing)
{
    EXPECT_EQ(CommOpen(0, 9600, 8, 0, 0), -1);
    EXPECT_EQ(CommOpen(257, 9600, 8, 0, 0), -1);
    EXPECT_EQ(CommOpen(-3, 9600, 8, 0, 0), -1);
    EXPECT_FALSE(CommTableExists());
    EXPECT_FALSE(FileExists(PathsFile()));
}

TEST_F(CommsTest, MissingDeviceKeyIsWrittenBack)
{
    char path[80];
    ASSERT_TRUE(CommDevicePath(5, path, sizeof path));
    EXPECT_STREQ(path, "/dev/ttyS4");
    char stored[80];
    GetPrivateProfileString("Serial", "COM5", "", stored, sizeof stored, PathsFile().c_str());
    EXPECT_STREQ(stored, "/dev/ttyS4");
    SetCom(6, "/dev/some/long/name");
    EXPECT_FALSE(CommDevicePath(6, path, 10));  // does not fit: refused, not cut
    EXPECT_FALSE(CommDevicePath(0, path, sizeof path));
}

TEST_F(CommsTest, FailedOpenFreesTheTable)
{
    SetCom(2, root.File("no-such-device"));
    EXPECT_EQ(CommOpen(2, 9600, 8, 0, 0), -1);
    EXPECT_FALSE(CommTableExists());
    NewPty(3);
    EXPECT_EQ(CommOpen(3, 12345, 8, 0, 0), -1) << "a rate termios cannot name";
    EXPECT_EQ(CommOpen(3, 9600, 9, 0, 0), -1) << "nine data bits";
    EXPECT_EQ(CommOpen(3, 9600, 8, 0, 7), -1) << "parity code 7";
    EXPECT_FALSE(CommTableExists());
}

TEST_F(CommsTest, SecondOpenOfADeviceInUseIsRefused)
{
    int master = NewPty(3);
    SetCom(4, ptys.back().slavePath);  // COM4 names the same device
    ASSERT_EQ(CommOpen(3, 9600, 8, 0, 0), 2);
    EXPECT_TRUE(CommTableExists());
    EXPECT_EQ(CommOpen(3, 9600, 8, 0, 0), -2);
    EXPECT_EQ(CommOpen(4, 9600, 8, 0, 0), -2);
    // The first open still works.
    Send(master, "ok");
    ASSERT_TRUE(WaitFor([] { return InQueue(2) == 2; }));
    EXPECT_EQ(ReadAll(2), "ok");
    // Once closed, the device can be had through either name.
    CommClose(2);
    EXPECT_EQ(CommOpen(4, 9600, 8, 0, 0), 3);
}

TEST_F(CommsTest, TableLivesWhileAPortIsOpen)
{
    NewPty(1);
    CommClose(-1);  // nothing open, no table: nothing happens
    EXPECT_FALSE(CommTableExists());
    ASSERT_EQ(CommOpen(1, 19200, 8, 0, 0), 0);
    CommClose(-1);
    EXPECT_TRUE(CommTableExists());
    CommClose(7);  // a free slot
    EXPECT_TRUE(CommTableExists());
    CommClose(0);
    EXPECT_FALSE(CommTableExists());
    EXPECT_EQ(CommRead(0, nullptr, 0), 0);
    EXPECT_EQ(CommWrite(0, reinterpret_cast<const uint8_t *>("x"), 1), -3);
    // As on first use.
    ASSERT_EQ(CommOpen(1, 19200, 8, 0, 0), 0);
    EXPECT_TRUE(CommTableExists());
}

TEST_F(CommsTest, BadIndexResults)
{
    uint8_t b[4] = {};
    COMSTAT st;
    EXPECT_EQ(CommWrite(-1, b, 1), -2);
    EXPECT_EQ(CommWrite(256, b, 1), -2);
    EXPECT_EQ(CommWrite(3, b, 1), -3);
    NewPty(1);
    ASSERT_EQ(CommOpen(1, 9600, 8, 0, 0), 0);
    EXPECT_EQ(CommWrite(5, b, 1), -1) << "a slot with no port";
    EXPECT_EQ(CommRead(256, b, 4), 0);
    EXPECT_EQ(CommRead(0, b, 4), 0) << "empty ring: 0 at once";
    EXPECT_EQ(CommGetStatus(-1, &st), -1);
    EXPECT_EQ(CommSetNotify(300, window, 1), 0);
    EXPECT_EQ(CommPurge(-1, PURGE_RXCLEAR), 0);
}

TEST_F(CommsTest, ReceivedBytesAreAnnounced)
{
    int master = NewPty(3);
    ASSERT_EQ(CommOpen(3, 38400, 8, 0, 0), 2);
    // Bytes that arrive with no notify window wait silently.
    Send(master, "abc");
    ASSERT_TRUE(WaitFor([] { return InQueue(2) == 3; }));
    LoopRunOnce(0);
    EXPECT_TRUE(Notes.empty());
    ASSERT_EQ(CommSetNotify(2, window, 1), 1);
    Send(master, "d");
    ASSERT_TRUE(PumpUntil([] { return !Notes.empty(); }));
    EXPECT_EQ(Notes[0].wParam, 2u);
    EXPECT_EQ(LOWORD(static_cast<uintptr_t>(Notes[0].lParam)), 0);
    EXPECT_EQ(HIWORD(static_cast<uintptr_t>(Notes[0].lParam)), 4) << "pending count";
    EXPECT_EQ(ReadAll(2), "abcd");
}

TEST_F(CommsTest, OneNotificationOutstandingUntilRead)
{
    int master = NewPty(1);
    ASSERT_EQ(CommOpen(1, 9600, 8, 0, 0), 0);
    CommSetNotify(0, window, 1);
    Send(master, "1");
    ASSERT_TRUE(PumpUntil([] { return Notes.size() == 1; }));
    uint32_t first = GetTickCount();
    Send(master, "2");
    ASSERT_TRUE(WaitFor([] { return InQueue(0) == 2; }));
    LoopRunOnce(0);
    if (GetTickCount() - first < 90) {  // else the 100 ms re-arm may rightly have fired
        EXPECT_EQ(Notes.size(), 1u);
    }
    // A read re-arms: the next delivery announces at once.
    uint8_t b[1];
    ASSERT_EQ(CommRead(0, b, 1), 1);
    size_t before = Notes.size();
    Send(master, "3");
    ASSERT_TRUE(PumpUntil([&] { return Notes.size() == before + 1; }));
    EXPECT_EQ(HIWORD(static_cast<uintptr_t>(Notes.back().lParam)), 2);
}

TEST_F(CommsTest, MoreThan8192PendingReArms)
{
    int master = NewPty(1);
    ASSERT_EQ(CommOpen(1, 115200, 8, 0, 0), 0);
    CommSetNotify(0, window, 1);
    Send(master, std::string(9000, 'x'));
    ASSERT_TRUE(WaitFor([] { return InQueue(0) == 9000; }));
    ASSERT_TRUE(PumpUntil([] {
        return !Notes.empty() && HIWORD(static_cast<uintptr_t>(Notes.back().lParam)) == 9000;
    })) << "every delivery above 8192 pending is announced, so the last one is";
}

TEST_F(CommsTest, StoppedNotificationsStillFillTheRing)
{
    int master = NewPty(2);
    ASSERT_EQ(CommOpen(2, 9600, 8, 0, 0), 1);
    CommSetNotify(1, window, 1);
    EXPECT_EQ(CommSetNotify(1, window, -1), 1);
    Send(master, "quiet");
    ASSERT_TRUE(WaitFor([] { return InQueue(1) == 5; }));
    LoopRunOnce(0);
    EXPECT_TRUE(Notes.empty());
    EXPECT_EQ(ReadAll(1), "quiet");
}

// 64 KB in one burst while nobody reads: the ring fills to 16383 bytes and
// the reader stops reading (the rest waits in the terminal's buffer) until
// reads make room; every byte then arrives, in order, and nothing is
// reported lost.
TEST_F(CommsTest, FullRingPausesTheReaderAndLosesNothing)
{
    int master = NewPty(1);
    ASSERT_EQ(CommOpen(1, 115200, 8, 0, 0), 0);
    CommSetNotify(0, window, 1);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    std::string burst(64 * 1024, 0);
    for (size_t i = 0; i < burst.size(); ++i)
        burst[i] = static_cast<char>(i % 251);
    size_t written = 0;
    auto writeSome = [&] {  // as much as the terminal takes now
        while (written < burst.size()) {
            ssize_t n = write(master, burst.data() + written, burst.size() - written);
            if (n <= 0)
                return;
            written += static_cast<size_t>(n);
        }
    };
    ASSERT_TRUE(WaitFor([&] {
        writeSome();
        return InQueue(0) == kRingSize - 1;
    })) << written;
    uint64_t passes = CommReaderPasses(0);
    poll(nullptr, 0, 200);  // a reader still at work would pass again here
    EXPECT_EQ(CommReaderPasses(0), passes) << "paused: not watching the device";
    EXPECT_EQ(InQueue(0), kRingSize - 1);
    EXPECT_EQ(CommGetStatus(0, nullptr) & CE_RXOVER, 0);
    uint8_t one[1];
    ASSERT_EQ(CommRead(0, one, 1), 1);
    poll(nullptr, 0, 50);
    EXPECT_EQ(CommReaderPasses(0), passes) << "one byte of room does not wake it";
    std::string got(1, static_cast<char>(one[0]));
    ASSERT_TRUE(WaitFor([&] {
        writeSome();
        got += ReadAll(0);
        return got.size() >= burst.size();
    }));
    EXPECT_EQ(written, burst.size());
    ASSERT_EQ(got.size(), burst.size());
    EXPECT_TRUE(got == burst) << "every byte, in order";
    EXPECT_EQ(CommGetStatus(0, nullptr) & CE_RXOVER, 0);
    // The pending count followed the ring: a small delivery shows its own.
    LoopRunOnce(0);
    Notes.clear();
    Send(master, "ab");
    ASSERT_TRUE(PumpUntil([] { return !Notes.empty(); }));
    EXPECT_EQ(HIWORD(static_cast<uintptr_t>(Notes.back().lParam)), 2);
}

TEST_F(CommsTest, WritesReachTheDevice)
{
    int master = NewPty(7);
    ASSERT_EQ(CommOpen(7, 9600, 8, 0, 0), 6);
    const uint8_t frame[] = {0x10, 0x02, 0x0d, 0x0a, 0x00, 0xff};
    EXPECT_EQ(CommWrite(6, frame, sizeof frame), 6);
    std::string got;
    ReadAvailable(master, &got, 5000);
    EXPECT_EQ(got, std::string(reinterpret_cast<const char *>(frame), sizeof frame))
        << "raw: no newline translation";
    std::string big(3000, 'w');
    EXPECT_EQ(CommWrite(6, reinterpret_cast<const uint8_t *>(big.data()), 3000), 3000);
    got.clear();
    while (got.size() < 3000 && ReadAvailable(master, &got, 5000) > 0) {
    }
    EXPECT_EQ(got, big);
}

TEST_F(CommsTest, IdleReaderDoesNotWake)
{
    NewPty(1);
    ASSERT_EQ(CommOpen(1, 9600, 8, 0, 0), 0);
    poll(nullptr, 0, 150);  // watch for activity; nothing is awaited
    EXPECT_EQ(CommReaderPasses(0), 0u);
}

TEST_F(CommsTest, HungUpDeviceDoesNotMakeTheReaderSpin)
{
    int master = NewPty(1);
    ASSERT_EQ(CommOpen(1, 9600, 8, 0, 0), 0);
    Send(master, "last");
    ASSERT_TRUE(WaitFor([] { return InQueue(0) == 4; }));
    ClosePty(&ptys.back());
    uint32_t errors = 0;
    ASSERT_TRUE(WaitFor([&] {
        errors |= static_cast<uint32_t>(CommGetStatus(0, nullptr));
        return (errors & CE_IOE) != 0;
    }));
    uint64_t passes = CommReaderPasses(0);
    poll(nullptr, 0, 200);  // a spinning reader would count thousands here
    EXPECT_LE(CommReaderPasses(0), passes + 1);
    EXPECT_LT(passes, 10u);
    EXPECT_EQ(ReadAll(0), "last") << "bytes before the hang-up are kept";
    uint32_t changes = 0;
    EXPECT_EQ(CommLinkState(0, &changes), 0);
    EXPECT_EQ(changes, 1u);
    EXPECT_EQ(CommWrite(0, reinterpret_cast<const uint8_t *>("x"), 1), -1);
    CommClose(0);
    EXPECT_FALSE(CommTableExists());
}

// ---- lost devices and device servers ----

TEST(DeviceAddress, TcpForms)
{
    struct Case {
        const char *text;
        bool ok;
        const char *host, *service;
    } cases[] = {
        {"tcp:10.0.0.5:4001", true, "10.0.0.5", "4001"},
        {"TCP:portserver.local:23", true, "portserver.local", "23"},
        {"tcp:[::1]:65535", true, "::1", "65535"},
        {"tcp:host", false, "", ""},
        {"tcp::4001", false, "", ""},
        {"tcp:host:0", false, "", ""},
        {"tcp:host:65536", false, "", ""},
        {"tcp:host:40x1", false, "", ""},
        {"tcp:host:", false, "", ""},
        {"tcp:[::1]4001", false, "", ""},
        {"tcp:[::1:4001", false, "", ""},
        {"/dev/ttyS0", false, "", ""},
    };
    for (const Case &c : cases) {
        DeviceAddress a;
        ASSERT_EQ(ParseTcpAddress(c.text, &a), c.ok) << c.text;
        if (!c.ok)
            continue;
        EXPECT_TRUE(a.Tcp);
        EXPECT_STREQ(a.Host, c.host) << c.text;
        EXPECT_STREQ(a.Service, c.service) << c.text;
    }
}

// A device server stand-in: a listening socket on the loopback.
struct Server {
    int listener = -1;
    int conn = -1;
    int port = 0;
    Server()
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len), 0);
        port = ntohs(a.sin_port);
    }
    ~Server()
    {
        Hang();
        close(listener);
    }
    bool Accept()
    {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 15000) != 1)
            return false;
        conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        return conn >= 0;
    }
    void Hang()
    {
        if (conn >= 0)
            close(conn);
        conn = -1;
    }
    std::string Address() const { return "tcp:127.0.0.1:" + std::to_string(port); }
};

TEST_F(CommsTest, DeviceServerIsConnectedAndReconnected)
{
    Server server;
    ASSERT_EQ(listen(server.listener, 4), 0);
    SetCom(2, server.Address());
    ASSERT_EQ(CommOpen(2, 9600, 8, 0, 0), 1);
    ASSERT_TRUE(server.Accept());
    ASSERT_EQ(write(server.conn, "hello", 5), 5);
    ASSERT_TRUE(WaitFor([] { return InQueue(1) == 5; }));
    EXPECT_EQ(ReadAll(1), "hello");
    EXPECT_EQ(CommWrite(1, reinterpret_cast<const uint8_t *>("go"), 2), 2);
    std::string got;
    ReadAvailable(server.conn, &got, 5000);
    EXPECT_EQ(got, "go");
    // The server drops the connection: reported, writes fail cleanly, and
    // the port connects again by itself.
    server.Hang();
    uint32_t errors = 0;
    ASSERT_TRUE(WaitFor([&] {
        errors |= static_cast<uint32_t>(CommGetStatus(1, nullptr));
        return (errors & CE_IOE) != 0;
    }));
    EXPECT_EQ(CommWrite(1, reinterpret_cast<const uint8_t *>("x"), 1), -1);
    ASSERT_TRUE(server.Accept());
    ASSERT_EQ(write(server.conn, "again", 5), 5);
    ASSERT_TRUE(WaitFor([] { return InQueue(1) == 5; }));
    EXPECT_EQ(ReadAll(1), "again");
}

TEST_F(CommsTest, AbsentDeviceServerDoesNotHoldUpOpening)
{
    Server server;  // bound, not yet listening: connections are refused
    SetCom(3, server.Address());
    ASSERT_EQ(CommOpen(3, 9600, 8, 0, 0), 2) << "the port exists before its server does";
    ASSERT_TRUE(WaitFor([] { return (CommGetStatus(2, nullptr) & CE_IOE) != 0; }))
        << "the first attempt was refused";
    EXPECT_EQ(CommWrite(2, reinterpret_cast<const uint8_t *>("x"), 1), -1);
    EXPECT_EQ(CommLinkState(2, nullptr), 0) << "cannot be reached: lost";
    ASSERT_EQ(listen(server.listener, 4), 0);
    ASSERT_TRUE(server.Accept()) << "found on a later attempt";
    ASSERT_TRUE(WaitFor([] { return CommWrite(2, reinterpret_cast<const uint8_t *>("y"), 1) == 1; }));
    uint32_t changes = 0;
    EXPECT_EQ(CommLinkState(2, &changes), 1);
    EXPECT_EQ(changes, 2u);
    SetCom(4, "tcp:nowhere");
    EXPECT_EQ(CommOpen(4, 9600, 8, 0, 0), -1) << "a malformed address";
}

TEST_F(CommsTest, SerialDeviceIsReopenedWhenItsPathReturns)
{
    // The port names a link, as /dev/serial/by-id names an adapter; the
    // adapter is "unplugged" and comes back as another device.
    int master = NewPty(1);
    std::string link = root.File("adapter");
    ASSERT_EQ(symlink(ptys.back().slavePath.c_str(), link.c_str()), 0);
    SetCom(1, link);
    ASSERT_EQ(CommOpen(1, 9600, 8, 0, 0), 0);
    ClosePty(&ptys.back());
    unlink(link.c_str());
    uint32_t errors = 0;
    ASSERT_TRUE(WaitFor([&] {
        errors |= static_cast<uint32_t>(CommGetStatus(0, nullptr));
        return (errors & CE_IOE) != 0;
    }));
    master = NewPty(9);
    ASSERT_EQ(symlink(ptys.back().slavePath.c_str(), link.c_str()), 0);
    ASSERT_TRUE(WaitFor([] { return CommWrite(0, reinterpret_cast<const uint8_t *>("?"), 1) == 1; }));
    std::string got;
    ReadAvailable(master, &got, 5000);
    EXPECT_EQ(got.back(), '?');
    Send(master, "back");
    ASSERT_TRUE(WaitFor([] { return InQueue(0) == 4; }));
    EXPECT_EQ(ReadAll(0), "back");
    uint32_t changes = 0;
    EXPECT_EQ(CommLinkState(0, &changes), 1);
    EXPECT_EQ(changes, 2u) << "lost, then back";
    EXPECT_EQ(CommLinkState(5, nullptr), -1);
    // Taken exclusively again.
    SetCom(2, link);
    EXPECT_EQ(CommOpen(2, 9600, 8, 0, 0), -2);
}

// A name server that never answers: the port is closed at once all the same
// (the resolution is left to end by itself).
std::mutex StuckLock;
std::condition_variable StuckFreed;
bool StuckRelease = false;
std::atomic<int> StuckCalls{0};

int StuckResolver(const char *, const char *service, const addrinfo *hints, addrinfo **found)
{
    StuckCalls.fetch_add(1);
    std::unique_lock<std::mutex> lock(StuckLock);
    // Hangs until the test lets it go; never for ever, so that a close that
    // waits for it fails the test instead of hanging it.
    StuckFreed.wait_for(lock, std::chrono::seconds(3), [] { return StuckRelease; });
    return getaddrinfo("127.0.0.1", service, hints, found);
}

TEST_F(CommsTest, ResolverThatHangsDoesNotHoldUpClosing)
{
    SetResolverForTests(StuckResolver);
    SetCom(5, "tcp:device-server.invalid:4001");
    ASSERT_EQ(CommOpen(5, 9600, 8, 0, 0), 4);
    ASSERT_TRUE(WaitFor([] { return StuckCalls.load() > 0; }));
    auto start = std::chrono::steady_clock::now();
    CommClose(4);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_FALSE(CommTableExists());
    {
        std::lock_guard<std::mutex> lock(StuckLock);
        StuckRelease = true;
    }
    StuckFreed.notify_all();
    SetResolverForTests(nullptr);
}

}  // namespace
