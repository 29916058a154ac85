// The bus's frame decoding: arbitrary packets written on a connection to a
// window of this process, served by the loop as any peer's frames would be.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/common.h"
#include "platform/bus.h"
#include "platform/loop.h"
#include "platform/root.h"

namespace {

HWND Window = 0;
std::string SocketPath;

LRESULT Proc(HWND, UINT, WPARAM, LPARAM lParam)
{
    return lParam;
}

bool Open()
{
    static char root[] = "/tmp/wexfuzzbus.XXXXXX";
    if (!FuzzJoinBus(root))
        return false;
    Window = CreateWindowProc(Proc, true);
    char name[16];
    std::snprintf(name, sizeof name, "/w%08x", Window);
    SocketPath = BusDirectory() + name;
    return Window != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = Open();
    if (!ready)
        return 0;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", SocketPath.c_str());
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        // Frames aimed at our window get a fair chance to pass the checks.
        std::string packet(reinterpret_cast<const char *>(data), size);
        if (packet.size() >= 20)
            std::memcpy(packet.data() + 16, &Window, 4);
        send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
        for (int i = 0; i < 3; ++i)
            LoopRunOnce(0);
    }
    close(fd);
    LoopRunOnce(0);
    return 0;
}
