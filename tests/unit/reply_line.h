// A router line for the protocols that read their answers from the ring
// themselves (SIMPLE, COX): a pseudo-terminal whose slave the comms library
// opens as the port's device, and a transmit hook that answers each request
// at the master, from a script or from the simulated router, and returns
// only once the answer is in the ring, so that no test depends on how fast
// the reader thread is.  Include after router_harness.h.
#pragma once
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "platform/root.h"
#include "router_harness.h"
#include "serial/comms.h"
#include "tests/support/support.h"

namespace line {

constexpr int kCom = 3;
inline int Master = -1;
inline int Index = -1;
// One answer per request, in order; an empty one leaves a request unanswered.
inline std::deque<std::vector<uint8_t>> Script;
// When set, the simulated router answers instead of the script.
inline const SimProtocol *Sim = nullptr;
inline SimRouter *Router = nullptr;

inline int InRing()
{
    COMSTAT status;
    CommGetStatus(Index, &status);
    return static_cast<int>(status.cbInQue);
}

// Bytes from the router: written at the master, waited for in the ring.
inline void Deliver(const std::vector<uint8_t> &bytes)
{
    if (bytes.empty())
        return;
    int before = InRing();
    ASSERT_EQ(write(Master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    EXPECT_TRUE(WaitFor([&] { return InRing() >= before + static_cast<int>(bytes.size()); }));
}

inline void Answer(int port, const uint8_t *bytes, int length)
{
    bench::Hook(port, bytes, length);
    std::vector<uint8_t> answer;
    if (Sim && Router) {
        for (int i = 0; i < length; ++i)
            Sim->byte(*Router, bytes[i]);
        answer.swap(bench::SimOutput);
    } else if (!Script.empty()) {
        answer = Script.front();
        Script.pop_front();
    }
    Deliver(answer);
}

// Makes a new pseudo-terminal COM 3, opens it and gives it to port.
inline bool Open(Pty *pty, int port)
{
    if (!OpenPty(pty))
        return false;
    std::string key = "COM" + std::to_string(kCom);
    if (!WritePrivateProfileString("Serial", key.c_str(), pty->slavePath.c_str(),
                                   PathsFile().c_str()))
        return false;
    Index = CommOpen(kCom, 9600, 8, 0, kParityNone);
    if (Index < 0)
        return false;
    Master = pty->master;
    Ports.CommIndex[port] = Index;
    SetPortTransmitHook(Answer);
    return true;
}

inline void Close(Pty *pty)
{
    if (Index >= 0)
        CommClose(Index);
    ClosePty(pty);
    Index = -1;
    Master = -1;
    Script.clear();
    Sim = nullptr;
    Router = nullptr;
}

}  // namespace line
