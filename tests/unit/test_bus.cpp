// The message bus between programs: frames on the wire, sends and replies,
// nested delivery, posts, broadcast, dead and stuck peers, hostile frames,
// and the directory's safety check.  The peer is a second process running
// this very executable (test BusPeer.Serve) so that both sides are the real
// bus; raw sockets stand in for peers that misbehave.
#include "platform/bus.h"
#include "platform/busconn.h"
#include "platform/loop.h"
#include "platform/root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

// Messages the two sides of these tests understand.
constexpr UINT kAdd = 2500;        // result wParam + lParam
constexpr UINT kUpper = 2501;      // upper-cases the text block; result its length
constexpr UINT kNested = 2502;     // peer sends kEcho to window wParam, returns its result + 1
constexpr UINT kEcho = 2503;       // result wParam * 1000 + lParam
constexpr UINT kPostOne = 2504;    // one of a numbered series of posts
constexpr UINT kQuery = 2505;      // wParam 0: posts counted; 1: all in order
constexpr UINT kPing = 2507;       // peer answers with kPong to window wParam
constexpr UINT kPong = 2508;
constexpr UINT kAskBlock = 2509;   // peer sends a block to window wParam and checks the answer
constexpr UINT kPostBack = 2510;   // peer posts three to wParam, then sends kCheckQueue
constexpr UINT kCheckQueue = 2511;
constexpr UINT kSenderIs = 2512;   // result: the frame's sender field
constexpr UINT kRelayVia = 2513;   // peer sends kRelay to window wParam, returns its result + 1
constexpr UINT kRelay = 2514;      // test side sends kAdd(100, lParam) back to window wParam

struct Series {
    uint32_t count = 0;
    uint32_t next = 0;
    bool inOrder = true;
};

void CountPost(Series *s, WPARAM wParam, LPARAM lParam)
{
    if (wParam != s->next)
        s->inOrder = false;
    if (BusDeliveryBlockLength() > 0) {
        std::string want = "p" + std::to_string(wParam);
        if (want != reinterpret_cast<const char *>(lParam))
            s->inOrder = false;
    }
    s->next = static_cast<uint32_t>(wParam) + 1;
    ++s->count;
}

LRESULT UpperBlock(LPARAM lParam)
{
    auto *text = reinterpret_cast<char *>(lParam);
    size_t n = strnlen(text, BusDeliveryBlockLength());
    for (size_t i = 0; i < n; ++i)
        text[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    return static_cast<LRESULT>(n);
}

// ---- the peer process ----

HWND PeerSelf = 0;
Series PeerPosts;

LRESULT PeerProc(HWND, UINT message, WPARAM wParam, LPARAM lParam)
{
    HWND other = static_cast<HWND>(wParam);
    switch (message) {
    case kAdd:
        return static_cast<LRESULT>(wParam) + lParam;
    case kUpper:
        return UpperBlock(lParam);
    case kNested:
        return SendMessage(other, kEcho, 7, lParam) + 1;
    case kPostOne:
        CountPost(&PeerPosts, wParam, lParam);
        return 0;
    case kQuery:
        return wParam == 0 ? PeerPosts.count : PeerPosts.inOrder;
    case kPing:
        SendMessage(other, kPong, PeerSelf, 0);
        return 0;
    case kAskBlock: {
        char text[8] = "abc";
        LRESULT r = BusSendBlock(PeerSelf, other, kUpper, 0, text, 4);
        return r == 3 && std::strcmp(text, "ABC") == 0;
    }
    case kPostBack:
        for (WPARAM i = 0; i < 3; ++i)
            PostMessage(other, kPostOne, i, 0);
        return SendMessage(other, kCheckQueue, 0, 0) + 100;
    case kSenderIs:
        return static_cast<LRESULT>(BusDeliverySender());
    case kRelayVia:
        return SendMessage(other, kRelay, PeerSelf, lParam) + 1;
    case WM_COPYDATA: {
        auto *record = reinterpret_cast<COPYDATASTRUCT *>(lParam);
        LRESULT sum = record->dwData + record->cbData;
        for (uint32_t i = 0; i < record->cbData; ++i)
            sum += static_cast<const uint8_t *>(record->lpData)[i];
        return sum;
    }
    }
    return 0;
}

void PeerStdin(int fd, void *)
{
    char buf[64];
    if (read(fd, buf, sizeof buf) <= 0) {
        LoopRemoveFd(fd);
        PostQuitMessage(0);
    }
}

TEST(BusPeer, Serve)
{
    if (!std::getenv("WEX_BUS_TEST_PEER"))
        GTEST_SKIP() << "runs only as the peer process of the bus tests";
    LoopReset();
    SetRootDirectory(nullptr);
    std::string error;
    if (!BusOpen(&error))
        _exit(3);
    PeerSelf = CreateWindowProc(PeerProc, true);
    LoopAddFd(0, PeerStdin, nullptr);
    std::printf("PEER 0x%08x\n", PeerSelf);
    std::fflush(stdout);
    LoopRun();
    BusClose();
    _exit(0);
}

// ---- the test process's side ----

struct ParentState {
    Series posts;
    int pongs = 0;
    HWND pongFrom = 0;
    int pings = 0;
    LRESULT queuedAtCheck = -1;
    std::string lastText;
    bool called = false;
};
ParentState P;

LRESULT ParentProc(HWND, UINT message, WPARAM wParam, LPARAM lParam)
{
    P.called = true;
    switch (message) {
    case kEcho:
        return static_cast<LRESULT>(wParam) * 1000 + lParam;
    case kUpper:
        return UpperBlock(lParam);
    case kPong:
        ++P.pongs;
        P.pongFrom = static_cast<HWND>(wParam);
        return 0;
    case kPing:
        ++P.pings;
        return 0;
    case kPostOne:
        CountPost(&P.posts, wParam, lParam);
        return 0;
    case kCheckQueue:
        return P.posts.count;
    case kAdd:
        return static_cast<LRESULT>(wParam) + lParam;
    case kRelay:
        return SendMessage(static_cast<HWND>(wParam), kAdd, 100, lParam);
    case 2777:
        P.lastText = reinterpret_cast<const char *>(lParam);
        return 77;
    }
    return 0;
}

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool PumpUntil(const std::function<bool()> &done, int64_t ms = 4000)
{
    int64_t end = NowMs() + ms;
    while (!done()) {
        if (NowMs() > end)
            return false;
        LoopRunOnce(10);
    }
    return true;
}

struct Peer {
    pid_t pid = -1;
    int input = -1;
    HWND window = 0;
};

std::string SocketPath(HWND h)
{
    char name[16];
    std::snprintf(name, sizeof name, "/w%08x", h);
    return BusDirectory() + name;
}

sockaddr_un Address(const std::string &path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    return a;
}

int RawConnect(HWND target)
{
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a = Address(SocketPath(target));
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int RawListen(HWND handle, bool listening = true)
{
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a = Address(SocketPath(handle));
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    if (listening) {
        EXPECT_EQ(listen(fd, 4), 0);
    }
    return fd;
}

void Put32(std::vector<uint8_t> &v, size_t at, uint32_t x)
{
    for (int i = 0; i < 4; ++i)
        v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

uint32_t Get32(const uint8_t *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::vector<uint8_t> MakeFrame(uint8_t kind, uint32_t seq, HWND sender, HWND target, UINT code,
                               uint32_t wParam, int32_t lParam, const std::string &block = "")
{
    std::vector<uint8_t> f(36 + block.size(), 0);
    Put32(f, 0, 0x314D575A);
    f[4] = kind;
    Put32(f, 8, seq);
    Put32(f, 12, sender);
    Put32(f, 16, target);
    Put32(f, 20, code);
    Put32(f, 24, wParam);
    Put32(f, 28, static_cast<uint32_t>(lParam));
    Put32(f, 32, static_cast<uint32_t>(block.size()));
    std::memcpy(f.data() + 36, block.data(), block.size());
    return f;
}

// Waits, pumping our loop, until fd has a message; returns its bytes
// (empty when the other side closed the connection or time ran out).
std::vector<uint8_t> PumpRead(int fd, bool *closed)
{
    std::vector<uint8_t> buf(70000);
    *closed = false;
    int64_t end = NowMs() + 4000;
    while (NowMs() < end) {
        LoopRunOnce(5);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            continue;
        ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n > 0) {
            buf.resize(static_cast<size_t>(n));
            return buf;
        }
        *closed = true;
        break;
    }
    return {};
}

// A target that is not the bus: a thread answering frames by a script.
struct FakeTarget {
    HWND handle = 0;
    int listenFd = -1;
    std::thread thread;
    std::vector<uint8_t> received;

    void Start(HWND h, std::function<void(int, const std::vector<uint8_t> &)> answer)
    {
        handle = h;
        listenFd = RawListen(h);
        thread = std::thread([this, answer] {
            int c = accept(listenFd, nullptr, nullptr);
            std::vector<uint8_t> buf(70000);
            ssize_t n = recv(c, buf.data(), buf.size(), 0);
            buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
            received = buf;
            answer(c, buf);
            close(c);
        });
    }
    void Stop()
    {
        if (thread.joinable())
            thread.join();
        close(listenFd);
        unlink(SocketPath(handle).c_str());
    }
};

void SendRaw(int fd, const std::vector<uint8_t> &frame)
{
    ASSERT_EQ(send(fd, frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
}

class BusTest : public ::testing::Test {
protected:
    std::string root;
    Peer peer;

    void SetUp() override
    {
        LoopReset();
        P = ParentState{};
        unsetenv("ZOLT_BUS");
        char tmpl[] = "/tmp/wexbusXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        SetRootDirectory(root.c_str());
        std::string error;
        ASSERT_TRUE(BusOpen(&error)) << error;
    }
    void TearDown() override
    {
        StopPeer();
        BusClose();
        LoopReset();
        BusBounds = BusLimits{};
        std::filesystem::remove_all(root);
    }

    void StartPeer()
    {
        int in[2], out[2];
        ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> env = {"WEX_BUS_TEST_PEER=1", "ZOLT_ROOT=" + root};
        for (char **e = environ; *e; ++e)
            if (std::strncmp(*e, "ZOLT_", 5) != 0 && std::strncmp(*e, "GTEST_", 6) != 0)
                env.push_back(*e);
        std::vector<char *> envp;
        for (auto &s : env)
            envp.push_back(s.data());
        envp.push_back(nullptr);
        char exe[] = "/proc/self/exe";
        char filter[] = "--gtest_filter=BusPeer.Serve";
        char *argv[] = {exe, filter, nullptr};
        ASSERT_EQ(posix_spawn(&peer.pid, exe, &actions, nullptr, argv, envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        peer.input = in[1];
        peer.window = ReadPeerWindow(out[0]);
        close(out[0]);
        ASSERT_NE(peer.window, 0u);
    }

    static HWND ReadPeerWindow(int fd)
    {
        std::string text;
        int64_t end = NowMs() + 10000;
        while (NowMs() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buf[256];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            text.append(buf, static_cast<size_t>(n));
            size_t at = text.find("PEER 0x");
            if (at != std::string::npos && text.find('\n', at) != std::string::npos)
                return static_cast<HWND>(std::stoul(text.substr(at + 7, 8), nullptr, 16));
        }
        return 0;
    }

    void StopPeer()
    {
        if (peer.pid < 0)
            return;
        close(peer.input);
        int status = 0;
        int64_t end = NowMs() + 3000;
        while (waitpid(peer.pid, &status, WNOHANG) == 0) {
            if (NowMs() > end) {
                kill(peer.pid, SIGKILL);
                waitpid(peer.pid, &status, 0);
                break;
            }
            usleep(2000);
        }
        peer = Peer{};
    }
};

TEST_F(BusTest, SendReturnsThePeersResultSignedAndNamesItsSender)
{
    StartPeer();
    HWND a = CreateWindowProc(ParentProc, true);
    ASSERT_NE(a, 0u);
    EXPECT_EQ(BusSend(a, peer.window, kAdd, 40, 2), 42);
    EXPECT_EQ(SendMessage(peer.window, kAdd, 0, -7), -7);
    EXPECT_EQ(static_cast<HWND>(BusSend(a, peer.window, kSenderIs, 0, 0)), a);
    // SendMessage has no sender argument: the first window of ours signs it.
    HWND b = CreateWindowProc(ParentProc, true);
    EXPECT_EQ(static_cast<HWND>(SendMessage(peer.window, kSenderIs, 0, 0)), a);
    EXPECT_EQ(static_cast<HWND>(BusSend(b, peer.window, kSenderIs, 0, 0)), b);
}

TEST_F(BusTest, BlocksTravelBothWaysAndComeBackChanged)
{
    StartPeer();
    HWND a = CreateWindowProc(ParentProc, true);
    char text[32] = "hello bus";
    EXPECT_EQ(BusSendBlock(a, peer.window, kUpper, 0, text, 10), 9);
    EXPECT_STREQ(text, "HELLO BUS");
    // The peer sends its own block to us and checks what came back.
    EXPECT_EQ(BusSend(a, peer.window, kAskBlock, a, 0), 1);
}

TEST_F(BusTest, SendsForUsAreServedWhileOurOwnSendWaits)
{
    StartPeer();
    HWND a = CreateWindowProc(ParentProc, true);
    // Peer's procedure sends kEcho(7, 5) back to us before it replies.
    EXPECT_EQ(SendMessage(peer.window, kNested, a, 5), 7005 + 1);
    // A send to the peer while our first send to it still waits.
    EXPECT_EQ(SendMessage(peer.window, kRelayVia, a, 5), 106);
    // Posts arriving during the wait stay queued until the loop runs.
    EXPECT_EQ(SendMessage(peer.window, kPostBack, a, 0), 100);
    ASSERT_TRUE(PumpUntil([] { return P.posts.count == 3; }));
    EXPECT_TRUE(P.posts.inOrder);
}

TEST_F(BusTest, PostsArriveInOrderWithAndWithoutBlocks)
{
    StartPeer();
    HWND a = CreateWindowProc(ParentProc, true);
    for (uint32_t i = 0; i < 100; ++i) {
        if (i % 3 == 0) {
            std::string t = "p" + std::to_string(i);
            ASSERT_TRUE(BusPost(a, peer.window, kPostOne, i, 0, t.c_str(), t.size() + 1));
        } else {
            ASSERT_TRUE(PostMessage(peer.window, kPostOne, i, 0));
        }
    }
    ASSERT_TRUE(PumpUntil([&] { return BusSend(a, peer.window, kQuery, 0, 0) == 100; }));
    EXPECT_EQ(BusSend(a, peer.window, kQuery, 1, 0), 1);
    EXPECT_FALSE(PostMessage(HWND_BROADCAST, kPostOne, 0, 0));
}

TEST_F(BusTest, PostsFromAnotherThreadReachAnotherProgram)
{
    StartPeer();
    HWND a = CreateWindowProc(ParentProc, true);
    HWND target = peer.window;
    std::thread poster([target] {
        for (uint32_t i = 0; i < 20; ++i)
            PostMessage(target, kPostOne, i, 0);
    });
    poster.join();
    ASSERT_TRUE(PumpUntil([&] { return BusSend(a, peer.window, kQuery, 0, 0) == 20; }));
    EXPECT_EQ(BusSend(a, peer.window, kQuery, 1, 0), 1);
}

TEST_F(BusTest, BroadcastReachesOtherProgramsAndSiblingsButNotTheSender)
{
    StartPeer();
    HWND a = CreateWindowProc(ParentProc, true);
    HWND b = CreateWindowProc(ParentProc, true);
    ASSERT_NE(b, 0u);
    // The peer's answer arrives while the broadcast is still going on; our
    // sibling window b hears it too, the sending window a does not.
    EXPECT_EQ(SendMessage(HWND_BROADCAST, kPing, a, 0), 0);
    EXPECT_EQ(P.pongs, 1);
    EXPECT_EQ(P.pongFrom, peer.window);
    EXPECT_EQ(P.pings, 1);
    // From b, a is the sibling; a block reaches it as its own copy.
    char text[8] = "abc";
    EXPECT_EQ(BusSendBlock(b, HWND_BROADCAST, kPing, a, text, 4), 0);
    EXPECT_EQ(P.pings, 2);
    EXPECT_STREQ(text, "abc");
}

TEST_F(BusTest, CopyDataRecordCrossesAsDataWordCountAndBytes)
{
    StartPeer();
    HWND a = CreateWindowProc(ParentProc, true);
    char bytes[] = "hello";
    COPYDATASTRUCT record{0x01020304, 5, bytes};
    LRESULT sum = 0x01020304 + 5;
    for (char c : std::string("hello"))
        sum += static_cast<uint8_t>(c);
    EXPECT_EQ(SendMessage(peer.window, WM_COPYDATA, a, reinterpret_cast<LPARAM>(&record)), sum);
    COPYDATASTRUCT empty{7, 0, nullptr};
    EXPECT_EQ(SendMessage(peer.window, WM_COPYDATA, a, reinterpret_cast<LPARAM>(&empty)), 7);
}

TEST_F(BusTest, SendFrameBytesAreExactlyTheWireFormat)
{
    HWND a = CreateWindowProc(ParentProc, true);
    FakeTarget fake;
    fake.Start(0x5a5a0001, [&](int c, const std::vector<uint8_t> &got) {
        auto reply = MakeFrame(3, Get32(got.data() + 8), 0x5a5a0001, a, 2123, 0, -3,
                               std::string("XY\0", 3));
        send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
    });
    char text[3] = {'a', 'b', 0};
    EXPECT_EQ(BusSendBlock(a, 0x5a5a0001, 2123, 0x10002, text, 3), -3);
    fake.Stop();
    EXPECT_STREQ(text, "XY");
    const std::vector<uint8_t> &f = fake.received;
    ASSERT_EQ(f.size(), 39u);
    std::vector<uint8_t> header(f.begin(), f.begin() + 36);
    std::vector<uint8_t> want = MakeFrame(1, Get32(f.data() + 8), a, 0x5a5a0001, 2123, 0x10002, 0);
    Put32(want, 32, 3);  // lParam 0 on the wire, the block's length in N
    EXPECT_EQ(header, want);
    EXPECT_EQ(f[0], 'Z');
    EXPECT_EQ(f[3], '1');
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(f.data() + 36), 3), std::string("ab\0", 3));
}

struct ReplyCase {
    const char *what;
    std::function<void(int, uint32_t, HWND)> answer;
    LRESULT expected;
};

TEST_F(BusTest, RepliesAreMatchedBySequenceAndLengthIsChecked)
{
    HWND a = CreateWindowProc(ParentProc, true);
    const ReplyCase cases[] = {
        {"a reply with another sequence is dropped, ours counts",
         [](int c, uint32_t seq, HWND to) {
             auto stray = MakeFrame(3, seq + 1, 0x5a5a0002, to, kAdd, 0, 11, "abcd");
             send(c, stray.data(), stray.size(), MSG_NOSIGNAL);
             auto ours = MakeFrame(3, seq, 0x5a5a0002, to, kAdd, 0, 22, "wxyz");
             send(c, ours.data(), ours.size(), MSG_NOSIGNAL);
         },
         22},
        {"a reply whose block is longer than the send's gives 0",
         [](int c, uint32_t seq, HWND to) {
             auto r = MakeFrame(3, seq, 0x5a5a0002, to, kAdd, 0, 22, "wxyz!");
             send(c, r.data(), r.size(), MSG_NOSIGNAL);
         },
         0},
        {"a send on a connection we opened gives 0",
         [](int c, uint32_t seq, HWND to) {
             auto r = MakeFrame(1, seq, 0x5a5a0002, to, kAdd, 0, 22, "wxyz");
             send(c, r.data(), r.size(), MSG_NOSIGNAL);
         },
         0},
        {"the peer closing without a reply gives 0", [](int, uint32_t, HWND) {}, 0},
    };
    for (const auto &tc : cases) {
        FakeTarget fake;
        fake.Start(0x5a5a0002, [&](int c, const std::vector<uint8_t> &got) {
            tc.answer(c, Get32(got.data() + 8), a);
        });
        char block[5] = "abcd";
        EXPECT_EQ(BusSendBlock(a, 0x5a5a0002, kAdd, 0, block, 4), tc.expected) << tc.what;
        if (tc.expected == 0) {
            EXPECT_STREQ(block, "abcd") << tc.what;
        }
        fake.Stop();
    }
}

TEST_F(BusTest, DeadSocketGivesZeroAtOnceAndIsRemoved)
{
    CreateWindowProc(ParentProc, true);
    int fd = RawListen(0x5a5a0003, false);  // bound, never listening: refuses
    close(fd);
    std::string path = SocketPath(0x5a5a0003);
    EXPECT_EQ(SendMessage(0x5a5a0003, kAdd, 1, 2), 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    // A file of that name that is not a socket is nobody's to remove.
    std::string other = SocketPath(0x5a5a0004);
    FILE *f = std::fopen(other.c_str(), "w");
    std::fclose(f);
    EXPECT_EQ(SendMessage(0x5a5a0004, kAdd, 1, 2), 0);
    EXPECT_EQ(access(other.c_str(), F_OK), 0);
    // No socket at all.
    EXPECT_EQ(SendMessage(0x5a5a0005, kAdd, 1, 2), 0);
    EXPECT_FALSE(BusWindowAlive(0x5a5a0005));
}

TEST_F(BusTest, FullConnectionQueueIsTriedAgainUntilThePeerAccepts)
{
    HWND a = CreateWindowProc(ParentProc, true);
    int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr = Address(SocketPath(0x5a5a0007));
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    std::vector<int> fillers;
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            close(fd);
            break;
        }
        fillers.push_back(fd);
    }
    ASSERT_FALSE(fillers.empty());
    // A slow program: it gets round to its queue a little later.
    std::thread slow([&] {
        usleep(200 * 1000);
        for (size_t i = 0; i < fillers.size(); ++i)
            close(accept(listener, nullptr, nullptr));
        int c = accept(listener, nullptr, nullptr);
        std::vector<uint8_t> buf(100);
        ssize_t n = recv(c, buf.data(), buf.size(), 0);
        if (n == 36) {
            auto r = MakeFrame(3, Get32(buf.data() + 8), 0x5a5a0007, a, kAdd, 0, 33);
            send(c, r.data(), r.size(), MSG_NOSIGNAL);
        }
        close(c);
    });
    EXPECT_EQ(BusSend(a, 0x5a5a0007, kAdd, 1, 2), 33);
    slow.join();
    for (int fd : fillers)
        close(fd);
    close(listener);
}

TEST_F(BusTest, StuckTargetGivesZeroAfterTheBound)
{
    int fd = RawListen(0x5a5a0006);  // listens, never accepts, never answers
    HWND a = CreateWindowProc(ParentProc, true);
    EXPECT_TRUE(BusWindowAlive(0x5a5a0006));
    EXPECT_EQ(BusSend(a, 0x5a5a0006, kAdd, 1, 2), 0);
    close(fd);
}

struct BadFrame {
    const char *what;
    std::vector<uint8_t> bytes;
};

TEST_F(BusTest, BadFramesCloseTheirConnectionAndServingGoesOn)
{
    HWND a = CreateWindowProc(ParentProc, true);
    auto good = MakeFrame(1, 9, 0, a, kAdd, 40, 2);
    auto withPad = good;
    withPad[6] = 1;
    auto wrongMagic = good;
    wrongMagic[3] = '2';
    auto kind4 = good;
    kind4[4] = 4;
    auto reply = MakeFrame(3, 9, 0, a, kAdd, 0, 2);
    auto shortBlock = MakeFrame(1, 9, 0, a, kUpper, 0, 0, "abcde");
    shortBlock.resize(36 + 3);  // N says 5
    auto longBlock = MakeFrame(1, 9, 0, a, kUpper, 0, 0, std::string(65537, 'x'));
    auto wrongTarget = MakeFrame(1, 9, 0, a ^ 1, kAdd, 40, 2);
    std::vector<uint8_t> tiny(good.begin(), good.begin() + 20);
    const BadFrame cases[] = {
        {"wrong magic", wrongMagic}, {"kind 4", kind4},         {"nonzero pad", withPad},
        {"a reply on an accepted connection", reply},              {"size short of 36 + N", shortBlock},
        {"N above 65536", longBlock}, {"wrong target", wrongTarget}, {"shorter than a header", tiny},
    };
    for (const auto &tc : cases) {
        int keep = RawConnect(a);
        int bad = RawConnect(a);
        ASSERT_GE(bad, 0);
        P.called = false;
        SendRaw(bad, tc.bytes);
        bool closed = false;
        EXPECT_TRUE(PumpRead(bad, &closed).empty()) << tc.what;
        EXPECT_TRUE(closed) << tc.what;
        EXPECT_FALSE(P.called) << tc.what;
        SendRaw(keep, good);
        auto r = PumpRead(keep, &closed);
        ASSERT_EQ(r.size(), 36u) << tc.what;
        EXPECT_EQ(r, MakeFrame(3, 9, a, 0, kAdd, 0, 42)) << tc.what;
        close(keep);
        close(bad);
    }
}

TEST_F(BusTest, AddressMessagesWithoutABlockGetAnEmptyText)
{
    HWND a = CreateWindowProc(ParentProc, true);
    int fd = RawConnect(a);
    // 2777 takes a text at lParam: a bare number must never be taken for one.
    SendRaw(fd, MakeFrame(1, 1, 0, a, 2777, 0, 0x1234));
    bool closed = false;
    auto r = PumpRead(fd, &closed);
    ASSERT_EQ(r.size(), 36u);
    EXPECT_EQ(static_cast<int32_t>(Get32(r.data() + 28)), 77);
    EXPECT_EQ(P.lastText, "");
    // An unterminated text arrives terminated.
    SendRaw(fd, MakeFrame(1, 2, 0, a, 2777, 0, 0, "RC 7 1 2"));
    r = PumpRead(fd, &closed);
    ASSERT_EQ(r.size(), 36u + 8);
    EXPECT_EQ(P.lastText, "RC 7 1 2");
    // A copy-data record claiming more bytes than it has is not delivered.
    P.called = false;
    std::string record("\x01\0\0\0\x64\0\0\0abc", 11);
    SendRaw(fd, MakeFrame(1, 3, 0, a, WM_COPYDATA, 0, 0, record));
    r = PumpRead(fd, &closed);
    ASSERT_EQ(r.size(), 36u + 11);
    EXPECT_EQ(Get32(r.data() + 28), 0u);
    EXPECT_FALSE(P.called);
    close(fd);
}

TEST_F(BusTest, WindowSocketsAppearAndGoWithTheirWindows)
{
    HWND a = CreateWindowProc(ParentProc, true);
    HWND hidden = CreateWindowProc(ParentProc, false);
    struct stat st;
    ASSERT_EQ(lstat(SocketPath(a).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_NE(lstat(SocketPath(hidden).c_str(), &st), 0);
    HWND list[8];
    ASSERT_EQ(BusListWindows(list, 8), 1);
    EXPECT_EQ(list[0], a);
    // Only "w" and eight lower-case hex digits are windows.
    for (const char *name : {"/w0000ABCD", "/w1234567", "/x12345678", "/t12345678.1"})
        std::fclose(std::fopen((BusDirectory() + name).c_str(), "w"));
    EXPECT_EQ(BusListWindows(list, 8), 1);
    // Window names that are no sockets do not count and are cleared away,
    // however many come first; a directory is left alone.
    for (uint32_t i = 1; i <= 300; ++i)
        std::fclose(std::fopen(SocketPath(i).c_str(), "w"));
    symlink(SocketPath(a).c_str(), SocketPath(0x5001).c_str());
    mkdir(SocketPath(0x5002).c_str(), 0700);
    ASSERT_EQ(BusListWindows(list, 1), 1);
    EXPECT_EQ(list[0], a);
    EXPECT_NE(lstat(SocketPath(1).c_str(), &st), 0);
    EXPECT_NE(lstat(SocketPath(0x5001).c_str(), &st), 0);
    EXPECT_EQ(lstat(SocketPath(0x5002).c_str(), &st), 0);
    DestroyWindowProc(a);
    EXPECT_NE(lstat(SocketPath(a).c_str(), &st), 0);
    BusClose();
    EXPECT_EQ(BusSend(hidden, 0x5a5a0009, kAdd, 1, 1), 0);
}

TEST_F(BusTest, DirectoryIsMadePrivateAndAnUnsafeOneIsRefused)
{
    struct stat st;
    ASSERT_EQ(stat(BusDirectory().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    BusClose();
    chmod(BusDirectory().c_str(), 0755);
    std::string error;
    EXPECT_FALSE(BusOpen(&error));
    EXPECT_NE(error.find("0755"), std::string::npos) << error;
    EXPECT_FALSE(BusIsOpen());
    std::filesystem::remove(BusDirectory());
    std::filesystem::create_directory_symlink(root, BusDirectory());
    chmod(root.c_str(), 0700);
    EXPECT_TRUE(BusOpen(&error)) << error;  // a link to a safe directory is followed
    // A new directory is 0700 whatever the umask; it is set through the
    // opened directory, never by path.
    BusClose();
    std::filesystem::remove(BusDirectory());
    mode_t mask = umask(0777);
    EXPECT_TRUE(BusOpen(&error)) << error;
    umask(mask);
    ASSERT_EQ(lstat(BusDirectory().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    // Another user's directory is refused, root's included unless we are root.
    BusClose();
    if (geteuid() == 0) {
        ASSERT_EQ(chown(BusDirectory().c_str(), 65534, 65534), 0);
        EXPECT_FALSE(BusOpen(&error));
        EXPECT_NE(error.find("owned by user 65534"), std::string::npos) << error;
        ASSERT_EQ(chown(BusDirectory().c_str(), 0, 0), 0);
        EXPECT_TRUE(BusOpen(&error)) << error;
    }
}

TEST_F(BusTest, LocalTargetsWorkWithoutTheBus)
{
    BusClose();
    HWND a = CreateWindowProc(ParentProc, true);
    char text[16] = "local";
    EXPECT_EQ(BusSendBlock(0, a, kUpper, 0, text, 6), 5);
    EXPECT_STREQ(text, "LOCAL");
    EXPECT_EQ(BusSend(0, a, kAdd, 2, 3), 5);
    ASSERT_TRUE(BusPost(0, a, kPostOne, 0, 0, "p0", 3));
    ASSERT_TRUE(PumpUntil([] { return P.posts.count == 1; }));
    EXPECT_TRUE(P.posts.inOrder);
}

// ---- bounds: the post queue, accepted and kept connections ----

TEST(BusConnTable, EvictsTheLongestIdleOfThePeerAtItsShareElseOfAll)
{
    BusBounds = BusLimits{};
    BusBounds.maxPerPeer = 2;
    ConnTable t;
    auto add = [&](int fd, pid_t peer, int64_t active, int busy = 0) {
        AcceptedConn c;
        c.peer = peer;
        c.lastActive = active;
        c.busy = busy;
        t.accepted[fd] = c;
    };
    add(10, 100, 50);
    add(11, 200, 10, 1);  // busy: never evicted
    add(12, 200, 20);
    add(13, 100, 30);
    EXPECT_EQ(ConnToEvict(t, 300, 10), -1);  // room for a third peer
    EXPECT_EQ(ConnToEvict(t, 100, 10), 13);  // peer 100 at its share: its longest idle
    EXPECT_EQ(ConnToEvict(t, 300, 4), 12);   // table full: the longest idle of all
    t.accepted[12].busy = 1;
    EXPECT_EQ(ConnToEvict(t, 200, 10), -2);  // peer 200 at its share, all of it busy
    BusBounds.idleMs = 25;
    EXPECT_EQ(ConnsIdle(t, 60), (std::vector<int>{13}));
    EXPECT_EQ(ConnLongestIdle(t), 13);
    BusBounds = BusLimits{};
}

TEST(BusConnTable, PostsAreChargedPerConnectionAndInTotal)
{
    BusBounds = BusLimits{};
    BusBounds.postsPerConn = 3;
    BusBounds.bytesTotal = 1000;
    ConnTable t;
    t.accepted[5].serial = 1;
    t.accepted[6].serial = 2;
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(ConnChargePost(&t, 5, 100));
    EXPECT_FALSE(ConnChargePost(&t, 5, 100));  // past its share
    EXPECT_TRUE(ConnChargePost(&t, 6, 600));
    EXPECT_FALSE(ConnChargePost(&t, 6, 200));  // past the total
    EXPECT_FALSE(ConnChargePost(&t, 7, 1));    // no such connection
    EXPECT_EQ(t.posts, 4u);
    EXPECT_EQ(t.bytes, 900u);
    ConnReleasePost(&t, 5, 1, 100);
    ConnReleasePost(&t, 6, 99, 600);  // another connection on that number now
    EXPECT_EQ(t.accepted[5].posts, 2u);
    EXPECT_EQ(t.accepted[6].posts, 1u);
    EXPECT_EQ(t.posts, 2u);
    EXPECT_EQ(t.bytes, 200u);
    EXPECT_TRUE(ConnChargePost(&t, 5, 100));
    BusBounds = BusLimits{};
}

TEST(BusConnTable, KeptConnectionsAreFewAndLeastRecentlyUsedGoFirst)
{
    KeptSet s;
    EXPECT_TRUE(KeptPut(&s, 1, 101, 3).empty());
    EXPECT_TRUE(KeptPut(&s, 2, 102, 3).empty());
    EXPECT_TRUE(KeptPut(&s, 3, 103, 3).empty());
    EXPECT_EQ(KeptFind(&s, 1), 101);                            // 1 is fresh again
    EXPECT_EQ(KeptPut(&s, 4, 104, 3), (std::vector<int>{102}));  // 2 was least recent
    EXPECT_EQ(KeptPut(&s, 4, 114, 3), (std::vector<int>{104}));  // one per target
    EXPECT_EQ(KeptTake(&s, 3), 103);
    EXPECT_EQ(KeptTake(&s, 3), -1);
    EXPECT_EQ(KeptDrop(&s, 1), (std::vector<int>{101}));
    EXPECT_EQ(KeptDrop(&s, 0), (std::vector<int>{114}));
    EXPECT_TRUE(s.conns.empty());
}

struct FloodCase {
    const char *what;
    std::function<void()> limit;
    size_t block;
    uint32_t queued;  // posts that must get through
};

// A peer floods posts while our send waits for its reply: the posts that
// fit the bounds wait in the queue, the connection that passes its share is
// closed, and nothing beyond the bounds is kept.
TEST_F(BusTest, PostsFloodingDuringAWaitStayWithinTheBoundsAndTheFlooderIsClosed)
{
    HWND a = CreateWindowProc(ParentProc, true);
    const FloodCase cases[] = {
        {"posts per connection", [] { BusBounds.postsPerConn = 8; }, 0, 8},
        {"bytes per connection", [] { BusBounds.bytesPerConn = 5 * (1000 + kBusPostOverhead); },
         1000, 5},
        {"posts in total", [] { BusBounds.postsTotal = 6; }, 0, 6},
        {"bytes in total", [] { BusBounds.bytesTotal = 3 * (4000 + kBusPostOverhead); }, 4000, 3},
    };
    for (const auto &tc : cases) {
        BusBounds = BusLimits{};
        tc.limit();
        P = ParentState{};
        bool flooderClosed = false;
        FakeTarget fake;
        fake.Start(0x5a5a000a, [&](int c, const std::vector<uint8_t> &got) {
            int flooder = RawConnect(a);
            for (uint32_t i = 0; i < 100; ++i) {
                auto post = MakeFrame(2, i, 0, a, kPostOne, i, 0, std::string(tc.block, 'x'));
                if (send(flooder, post.data(), post.size(), MSG_NOSIGNAL) < 0)
                    break;
            }
            pollfd p{flooder, POLLIN, 0};
            char byte;
            flooderClosed = poll(&p, 1, 3000) == 1 && recv(flooder, &byte, 1, MSG_DONTWAIT) <= 0;
            close(flooder);
            auto r = MakeFrame(3, Get32(got.data() + 8), 0x5a5a000a, a, kAdd, 0, 33);
            send(c, r.data(), r.size(), MSG_NOSIGNAL);
        });
        EXPECT_EQ(BusSend(a, 0x5a5a000a, kAdd, 1, 2), 33) << tc.what;
        fake.Stop();
        EXPECT_TRUE(flooderClosed) << tc.what;
        EXPECT_EQ(P.posts.count, 0u) << tc.what;  // still queued behind the wait
        ASSERT_TRUE(PumpUntil([&] { return P.posts.count >= tc.queued; })) << tc.what;
        for (int i = 0; i < 20; ++i)
            LoopRunOnce(1);
        EXPECT_EQ(P.posts.count, tc.queued) << tc.what;
        EXPECT_EQ(P.posts.next, tc.queued) << tc.what;  // the first ones, in order
    }
}

// Closed by the other side: end of file, or a reset when frames we sent
// were still unread.
bool ClosedByPeer(int fd)
{
    char byte;
    ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

// One program's connections beyond its share, or anybody's beyond the cap,
// push out the longest-idle; a connection idle past the timeout is closed.
TEST_F(BusTest, AcceptedConnectionsAreCappedPerPeerAndInAllAndTimeOut)
{
    HWND a = CreateWindowProc(ParentProc, true);
    for (int which = 0; which < 2; ++which) {
        BusBounds = BusLimits{};
        (which == 0 ? BusBounds.maxPerPeer : BusBounds.maxAccepted) = 4;
        std::vector<int> fds;
        for (int i = 0; i < 10; ++i) {
            fds.push_back(RawConnect(a));
            for (int k = 0; k < 3; ++k)
                LoopRunOnce(1);  // accepted one by one, each newer than the last
        }
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(ClosedByPeer(fds[i]), i < 6) << which << " connection " << i;
        SendRaw(fds[9], MakeFrame(1, 4, 0, a, kAdd, 40, 2));
        bool closed = false;
        EXPECT_EQ(PumpRead(fds[9], &closed).size(), 36u);
        for (int fd : fds)
            close(fd);
    }
    BusBounds = BusLimits{};
    BusBounds.idleMs = 40;
    int idle = RawConnect(a);
    ASSERT_TRUE(PumpUntil([&] { return ClosedByPeer(idle); }, 2000));
    close(idle);
}

// Out of descriptors with a connection waiting to be accepted: the loop
// does not spin on it; the newcomer is accepted and closed.
TEST_F(BusTest, NoSpinWhenDescriptorsRunOut)
{
    HWND a = CreateWindowProc(ParentProc, true);
    int waiting = RawConnect(a);
    ASSERT_GE(waiting, 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fill;
    for (int fd; (fd = dup(0)) >= 0;)
        fill.push_back(fd);
    uint64_t before = LoopWakeups();
    int64_t end = NowMs() + 200;
    while (NowMs() < end)
        LoopRunOnce(20);
    uint64_t wakeups = LoopWakeups() - before;
    for (int fd : fill)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_LT(wakeups, 30u);
    EXPECT_TRUE(ClosedByPeer(waiting));
    close(waiting);
}

// A window that is detached or replaced leaves no connection behind.
TEST_F(BusTest, ForgettingAWindowClosesTheConnectionsKeptToIt)
{
    StartPeer();
    HWND a = CreateWindowProc(ParentProc, true);
    auto openFds = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator{});
    };
    auto before = openFds();
    EXPECT_EQ(BusSend(a, peer.window, kAdd, 1, 2), 3);
    ASSERT_TRUE(PostMessage(peer.window, kPostOne, 0, 0));
    EXPECT_EQ(openFds(), before + 2);  // one kept for sends, one for posts
    BusForgetWindow(peer.window);
    EXPECT_EQ(openFds(), before);
    // New ones are made when needed (the post may still be on its way).
    EXPECT_TRUE(PumpUntil([&] { return BusSend(a, peer.window, kQuery, 0, 0) == 1; }));
}

}  // namespace
