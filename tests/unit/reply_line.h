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

constexpr int32_t kUntouched = 7;  // every tally before a case

// One request of a line protocol on port 1, answered from the script.
struct Case {
    const char *what;
    bool route;
    int32_t source, dest;
    std::vector<std::vector<uint8_t>> answers;  // one per request
    std::vector<bench::Frame> frames;
    int32_t tally;  // TallyTable[dest] afterwards
    uint32_t errors, revertives;
};

inline void RunCase(uint8_t protocol, const Case &c)
{
    SCOPED_TRACE(c.what);
    bench::Sent.clear();
    Routing.TallyTable[c.dest] = kUntouched;
    Ports.ErrorCount[1] = 0;
    RevertiveCounter = 0;
    Script.assign(c.answers.begin(), c.answers.end());
    if (c.route)
        ProtocolTable[protocol]->route(c.source, c.dest);
    else
        ProtocolTable[protocol]->poll(c.dest);
    EXPECT_EQ(bench::Sent, c.frames);
    EXPECT_EQ(Routing.TallyTable[c.dest], c.tally);
    EXPECT_EQ(Ports.ErrorCount[1], c.errors);
    EXPECT_EQ(RevertiveCounter, c.revertives);
    EXPECT_EQ(InRing(), 0);  // every answer taken, nothing left for the next request
}

// Port 1 speaks Protocol on the line to destinations 1..Dests of a device of
// 100 sources and Dests destinations, every tally kUntouched, in a fresh root.
template <uint8_t Protocol, int32_t Dests>
class LineTest : public ::testing::Test {
protected:
    TempRoot root;
    Pty pty;

    void SetUp() override
    {
        bench::Reset();
        SetRootDirectory(root.dir.c_str());
        Profile.DatabaseSize_0 = 100;
        Profile.DatabaseSize_1 = Dests;
        bench::UsePort(1, Protocol, 1, Dests);
        for (int d = 1; d <= Dests; ++d)
            Routing.TallyTable[d] = kUntouched;
        ASSERT_TRUE(Open(&pty, 1));
    }
    void TearDown() override
    {
        Close(&pty);
        bench::Finish();
    }
    static void RunCase(const Case &c) { line::RunCase(Protocol, c); }
};

}  // namespace line
