// The bare peer: one window on the bus that does no work of its own, so that
// what it costs to reach it is the floor of the bus itself.
//
//   2074 "RQ <n>"   sends <n> batch revertives (2188 "RR 999 ddd 001") back to
//                   the sender before answering, as a driver answers RQ
//   2074 "QUIT"     leaves the bus and ends
//   anything else   answered 0 at once
#include "bench/bench.h"

#include "platform/bus.h"
#include "platform/loop.h"
#include "platform/root.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

volatile sig_atomic_t Stop = 0;

void OnSignal(int) { Stop = 1; }

void SendBatch(HWND self, HWND to, long count)
{
    if (count < 1 || count > kBenchMaxDest)
        return;
    for (long d = 1; d <= count; ++d) {
        char text[32];
        int n = std::snprintf(text, sizeof text, "RR 999 %03ld 001", d);
        WPARAM tag = d == count ? 0x8001 : 1;
        BusSendBlock(self, to, kMsgRevertiveBatch, tag, text, static_cast<uint32_t>(n + 1));
    }
}

LRESULT PeerProc(HWND self, UINT message, WPARAM, LPARAM lParam)
{
    const char *text = reinterpret_cast<const char *>(lParam);
    if (message != kMsgCommand || text == nullptr)
        return 0;
    if (std::strncmp(text, "RQ ", 3) == 0)
        SendBatch(self, BusDeliverySender(), std::strtol(text + 3, nullptr, 10));
    else if (std::strcmp(text, "QUIT") == 0)
        Stop = 1;
    return 0;
}

}  // namespace

int PeerMain(const char *root)
{
    SetRootDirectory(root);
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    std::string error;
    if (!BusOpen(&error)) {
        std::fprintf(stderr, "wexbench peer: %s\n", error.c_str());
        return 1;
    }
    HWND window = CreateWindowProc(PeerProc, true);
    std::printf("READY 0x%08x\n", window);
    std::fflush(stdout);
    while (!Stop && LoopRunOnce(100)) {
    }
    BusClose();
    return 0;
}
