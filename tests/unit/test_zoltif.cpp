// The interface calls: text and number forms on the wire and in-process,
// the name request's buffer coming back filled, and command texts (2074)
// reaching the main window as 2777.
#include "link/zoltif.h"
#include "platform/bus.h"
#include "platform/loop.h"
#include "platform/root.h"
#include "shell/shell.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Seen {
    UINT code = 0;
    WPARAM wParam = 0;
    std::string text;
    uint32_t blockLength = 0;
    HWND sender = 0;
    int calls = 0;
};
Seen Main;
Seen Vek;

// The main window: 2074 goes through ZOLT32RxMessage as the driver does.
LRESULT MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == 2074)
        return ZOLT32RxMessage(window, wParam, lParam);
    ++Main.calls;
    Main.code = message;
    Main.wParam = wParam;
    if (message == 2777)
        Main.text = reinterpret_cast<const char *>(lParam);
    return 31;
}

// A VEK of our own process: names and the workstation number.
LRESULT VekProc(HWND, UINT message, WPARAM wParam, LPARAM lParam)
{
    ++Vek.calls;
    Vek.code = message;
    Vek.wParam = wParam;
    Vek.blockLength = BusDeliveryBlockLength();
    Vek.sender = BusDeliverySender();
    if (message == 2119)
        return 42;
    if (message == 2164) {
        auto *b = reinterpret_cast<uint8_t *>(lParam);
        char name[32];
        std::snprintf(name, sizeof name, "%s %03d", b[2] == 0 ? "SRC" : "DST", b[4] | b[5] << 8);
        std::strcpy(reinterpret_cast<char *>(b), name);
        return 1;
    }
    if (message == 2187)
        Vek.text = reinterpret_cast<const char *>(lParam);
    return 0;
}

std::vector<uint8_t> Frame(uint8_t kind, uint32_t seq, HWND sender, HWND target, UINT code,
                           uint32_t wParam, int32_t lParam, const std::string &block)
{
    std::vector<uint8_t> f(36 + block.size(), 0);
    uint32_t words[] = {0x314D575A, kind, seq, sender, target, code, wParam,
                        static_cast<uint32_t>(lParam), static_cast<uint32_t>(block.size())};
    for (int w = 0; w < 9; ++w)
        for (int i = 0; i < 4; ++i)
            f[w * 4 + i] = static_cast<uint8_t>(words[w] >> (8 * i));
    std::memcpy(f.data() + 36, block.data(), block.size());
    return f;
}

std::string SocketPath(HWND h)
{
    char name[16];
    std::snprintf(name, sizeof name, "/w%08x", h);
    return BusDirectory() + name;
}

int RawSocket(HWND h, bool listening)
{
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", SocketPath(h).c_str());
    int r = listening ? bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a)
                      : connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    if (r != 0 || (listening && listen(fd, 4) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Another program's window: takes one frame, answers it by script.
struct RemoteWindow {
    HWND handle = 0;
    int fd = -1;
    std::thread thread;
    std::vector<uint8_t> got;

    void Start(HWND h, std::function<std::vector<uint8_t>(const std::vector<uint8_t> &)> answer)
    {
        handle = h;
        fd = RawSocket(h, true);
        ASSERT_GE(fd, 0);
        thread = std::thread([this, answer] {
            int c = accept(fd, nullptr, nullptr);
            std::vector<uint8_t> buf(70000);
            ssize_t n = recv(c, buf.data(), buf.size(), 0);
            buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
            got = buf;
            auto reply = answer(buf);
            send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
            close(c);
        });
    }
    void Stop()
    {
        thread.join();
        close(fd);
        unlink(SocketPath(handle).c_str());
    }
};

uint32_t Seq(const std::vector<uint8_t> &f)
{
    return f[8] | f[9] << 8 | f[10] << 16 | static_cast<uint32_t>(f[11]) << 24;
}

class ZoltifTest : public ::testing::Test {
protected:
    std::string root;
    HWND vek = 0;

    void SetUp() override
    {
        LoopReset();
        ShellReset();
        Main = Seen{};
        Vek = Seen{};
        unsetenv("ZOLT_BUS");
        char tmpl[] = "/tmp/wexzifXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        SetRootDirectory(root.c_str());
        std::string error;
        ASSERT_TRUE(BusOpen(&error)) << error;
        Shell.MainWindow = CreateWindowProc(MainProc, true);
        vek = CreateWindowProc(VekProc, true);
    }
    void TearDown() override
    {
        BusClose();
        LoopReset();
        std::filesystem::remove_all(root);
    }
};

TEST_F(ZoltifTest, NameRequestComesBackFilledFromALocalVek)
{
    uint8_t buffer[256] = {7, 0, 1, 0, 12, 0};
    ZOLT32TxMessage(vek, 2164, 0, reinterpret_cast<LPARAM>(buffer), 1, 256);
    EXPECT_STREQ(reinterpret_cast<char *>(buffer), "DST 012");
    EXPECT_EQ(Vek.blockLength, 256u);
    EXPECT_EQ(Vek.sender, Shell.MainWindow);
    EXPECT_EQ(ZOLT32TxMessage(vek, 2119, 0, 0, 0, 0), 42);
    // No text, or one too long for a frame, is not sent.
    Vek.calls = 0;
    EXPECT_EQ(ZOLT32TxMessage(vek, 2187, 0, 0, 1, 15), 0);
    std::vector<char> huge(kBusMaxBlock + 1, 'x');
    EXPECT_EQ(ZOLT32TxMessage(vek, 2187, 0, reinterpret_cast<LPARAM>(huge.data()), 1, kBusMaxBlock + 1), 0);
    EXPECT_EQ(Vek.calls, 0);
}

TEST_F(ZoltifTest, TextFormIsTheTextWithItsTerminatorOnTheWire)
{
    RemoteWindow remote;
    remote.Start(0x5a5a1001, [](const std::vector<uint8_t> &f) {
        return Frame(3, Seq(f), 0x5a5a1001, 0, 2187, 0, 9, std::string(f.begin() + 36, f.end()));
    });
    char text[] = "RR 007 005 003";
    EXPECT_EQ(ZOLT32TxMessage(0x5a5a1001, 2187, 3, reinterpret_cast<LPARAM>(text), 1, 15), 9);
    remote.Stop();
    auto want = Frame(1, Seq(remote.got), Shell.MainWindow, 0x5a5a1001, 2187, 3, 0,
                      std::string("RR 007 005 003\0", 15));
    EXPECT_EQ(remote.got, want);
}

TEST_F(ZoltifTest, NumberFormCarriesBothNumbers)
{
    RemoteWindow remote;
    remote.Start(0x5a5a1002, [](const std::vector<uint8_t> &f) {
        return Frame(3, Seq(f), 0x5a5a1002, 0, 2742, 0, -1, "");
    });
    LPARAM tally = MAKELPARAM(12, 0xFFFF);
    EXPECT_EQ(ZOLT32TxMessage(0x5a5a1002, 2742, 7, tally, 0, 0), -1);
    remote.Stop();
    EXPECT_EQ(remote.got, Frame(1, Seq(remote.got), Shell.MainWindow, 0x5a5a1002, 2742, 7,
                                static_cast<int32_t>(0xFFFF000C), ""));
}

TEST_F(ZoltifTest, NameRequestOverTheWireBringsTheNameBack)
{
    RemoteWindow remote;
    remote.Start(0x5a5a1003, [](const std::vector<uint8_t> &f) {
        std::string block(f.begin() + 36, f.end());
        std::memcpy(block.data(), "Camera 1", 9);
        return Frame(3, Seq(f), 0x5a5a1003, 0, 2164, 0, 1, block);
    });
    uint8_t buffer[256] = {7, 0, 0, 0, 1, 0};
    ZOLT32TxMessage(0x5a5a1003, 2164, 0, reinterpret_cast<LPARAM>(buffer), 1, 256);
    remote.Stop();
    EXPECT_STREQ(reinterpret_cast<char *>(buffer), "Camera 1");
    ASSERT_EQ(remote.got.size(), 36u + 256);
    EXPECT_EQ(remote.got[36], 7);
    EXPECT_EQ(remote.got[40], 1);
}

TEST_F(ZoltifTest, CommandTextReachesTheMainWindowAs2777)
{
    char text[] = "RC 7 5 12 ',---' 0";
    EXPECT_EQ(ZOLT32RxMessage(Shell.MainWindow, 0, reinterpret_cast<LPARAM>(text)), 31);
    EXPECT_EQ(Main.code, 2777u);
    EXPECT_EQ(Main.text, text);
    Main.calls = 0;
    EXPECT_EQ(ZOLT32RxMessage(Shell.MainWindow, 0, 0), 0);
    EXPECT_EQ(Main.calls, 0);
}

TEST_F(ZoltifTest, Message2074FromAnotherProgramBecomes2777)
{
    int fd = RawSocket(Shell.MainWindow, false);
    ASSERT_GE(fd, 0);
    // The sender's text need not be terminated; the main window sees it whole.
    auto f = Frame(1, 4, 0x5a5a1004, Shell.MainWindow, 2074, 0, 0, "RC 7 5 12 ',---' 0");
    ASSERT_EQ(send(fd, f.data(), f.size(), MSG_NOSIGNAL), static_cast<ssize_t>(f.size()));
    std::vector<uint8_t> reply(70000);
    ssize_t n = -1;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    while (n < 0 && std::chrono::steady_clock::now() < end) {
        LoopRunOnce(5);
        n = recv(fd, reply.data(), reply.size(), MSG_DONTWAIT);
    }
    close(fd);
    ASSERT_EQ(n, static_cast<ssize_t>(f.size()));
    reply.resize(static_cast<size_t>(n));
    EXPECT_EQ(reply, Frame(3, 4, Shell.MainWindow, 0x5a5a1004, 2074, 0, 31, "RC 7 5 12 ',---' 0"));
    EXPECT_EQ(Main.code, 2777u);
    EXPECT_EQ(Main.text, "RC 7 5 12 ',---' 0");
}

}  // namespace
