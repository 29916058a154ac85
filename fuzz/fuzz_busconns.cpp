// The bus across many frames and connections: an input is a script of
// operations on four connections to two windows of this process (open,
// close, write a frame, let the loop run), so the connection table, the
// post queue with its shares, eviction, nested sends and replies all keep
// state from one frame to the next.  The limits are lowered so that the
// scripts reach them.
//
// Script, one operation after another:
//   op byte: bits 0-1 connection, bits 2-3 action (0 open, 1 close,
//            2 frame, 3 run the loop); bit 4 the window (open), bit 5 raw
//   frame:   kind, code (2 bytes), wParam, block length / 8, then for a raw
//            frame 36 bytes of header taken as they come
// Code 0x7001 makes the window send to another program's window that
// answers after a moment: frames already written are served meanwhile.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/common.h"
#include "platform/bus.h"
#include "platform/busconn.h"
#include "platform/loop.h"
#include "platform/root.h"

namespace {

constexpr uint32_t kMagic = 0x314D575A;
constexpr HWND kAnswerer = 0x5a5a0f01;
constexpr UINT kCallOut = 0x7001;

HWND Windows[2];
int Conns[4] = {-1, -1, -1, -1};
int AnswererFd = -1;

std::string PathOf(HWND w)
{
    char name[16];
    std::snprintf(name, sizeof name, "/w%08x", w);
    return BusDirectory() + name;
}

int Connect(HWND w)
{
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", PathOf(w).c_str());
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

LRESULT Proc(HWND self, UINT code, WPARAM wParam, LPARAM lParam)
{
    uint32_t n = BusDeliveryBlockLength();
    LRESULT sum = static_cast<LRESULT>(wParam);
    if (n) {  // every byte the bus says is there must be readable and writable
        auto *block = reinterpret_cast<uint8_t *>(lParam);
        for (uint32_t i = 0; i < n; ++i)
            sum += block[i]++;
    }
    if (code == kCallOut)
        sum += SendMessage(kAnswerer, 1, 0, 0);
    if ((code & 0xFF) == 0x42)
        PostMessage(self == Windows[0] ? Windows[1] : Windows[0], code + 1, wParam, 0);
    return sum;
}

// Another program's window: answers each send after a moment.
void Answerer()
{
    std::vector<uint8_t> buf(70000);
    for (;;) {
        int c = accept(AnswererFd, nullptr, nullptr);
        if (c < 0)
            return;
        ssize_t n = recv(c, buf.data(), buf.size(), 0);
        if (n >= 36) {
            usleep(2000);
            buf[4] = 3;
            std::memcpy(buf.data() + 32, "\0\0\0\0", 4);
            send(c, buf.data(), 36, MSG_NOSIGNAL);
        }
        close(c);
    }
}

bool Open()
{
    static char root[] = "/tmp/wexfuzzconns.XXXXXX";
    if (!FuzzJoinBus(root))
        return false;
    BusBounds.postsPerConn = 4;
    BusBounds.bytesPerConn = 16 << 10;
    BusBounds.postsTotal = 10;
    BusBounds.bytesTotal = 48 << 10;
    BusBounds.maxPerPeer = 3;
    BusBounds.maxAccepted = 5;
    BusBounds.maxKept = 1;
    BusBounds.idleMs = 20;
    for (HWND &w : Windows)
        w = CreateWindowProc(Proc, true);
    AnswererFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", PathOf(kAnswerer).c_str());
    if (bind(AnswererFd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(AnswererFd, 16) != 0)
        return false;
    std::thread(Answerer).detach();
    return Windows[0] && Windows[1];
}

struct Reader {
    const uint8_t *p;
    size_t left;
    uint8_t Byte() { return left ? (--left, *p++) : 0; }
};

void Put32(uint8_t *p, uint32_t v)
{
    std::memcpy(p, &v, 4);
}

void WriteFrame(int slot, bool raw, Reader *in)
{
    uint8_t kind = in->Byte();
    uint32_t code = in->Byte() | in->Byte() << 8;
    uint32_t wParam = in->Byte();
    uint32_t length = in->Byte() * 8u;
    std::vector<uint8_t> f(36 + length, 0x5a);
    Put32(f.data(), kMagic);
    f[4] = static_cast<uint8_t>(kind % 4);
    std::memset(f.data() + 5, 0, 3);
    Put32(f.data() + 8, code);
    Put32(f.data() + 12, 0);
    Put32(f.data() + 16, Windows[(kind >> 4) & 1]);
    Put32(f.data() + 20, code == 1 ? kCallOut : code);
    Put32(f.data() + 24, wParam);
    Put32(f.data() + 28, 0);
    Put32(f.data() + 32, length);
    if (raw)
        for (size_t i = 0; i < 36; ++i)
            f[i] = in->Byte();
    send(Conns[slot], f.data(), f.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Reads whatever came back, so that replies never fill a connection.
void Drain()
{
    uint8_t buf[256];
    for (int &fd : Conns) {
        if (fd < 0)
            continue;
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
        }
        if (n == 0 || (n < 0 && errno != EAGAIN)) {
            close(fd);
            fd = -1;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = Open();
    if (!ready)
        return 0;
    Reader in{data, size};
    while (in.left) {
        uint8_t op = in.Byte();
        int slot = op & 3;
        switch ((op >> 2) & 3) {
        case 0:
            if (Conns[slot] < 0)
                Conns[slot] = Connect(Windows[(op >> 4) & 1]);
            break;
        case 1:
            if (Conns[slot] >= 0)
                close(Conns[slot]);
            Conns[slot] = -1;
            break;
        case 2:
            if (Conns[slot] >= 0)
                WriteFrame(slot, op & 0x20, &in);
            break;
        default:
            LoopRunOnce(0);
            Drain();
        }
    }
    for (int &fd : Conns) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    for (int i = 0; i < 4; ++i)
        LoopRunOnce(0);
    return 0;
}
