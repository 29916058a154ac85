// The measurements.  Each driver figure is taken beside its floor, sample by
// sample in the same loop, so that both see the machine in the same state:
//
//   route   vek hands "RC ..." (2074) to the driver  ->  the first byte of
//           ".SA<d>,<s>" is readable at the router's end of the line
//   tally   the router writes ".AA<d>,<s>" CR  ->  our VEK window has the
//           driver's "RR ..." (2187)
//   floor   one bus round trip to the bare peer + one pseudo-terminal
//           write-to-read on a spare pair, in the same direction
//   batch   "RQ <id> 1 4096 1"  ->  VEK holds all 4096 texts (2188); floor:
//           the bare peer sends the same 4096 texts
//   throughput  back-to-back route commands, every one of them accounted for
#include "bench/benchmarks.h"

#include "platform/loop.h"

#include <cstdio>
#include <string>

namespace {

constexpr int64_t kSecondNs = 1000000000;

// Every route of a run gets the next serial, so that each visit of a
// destination asks for another source than the one it carries.
uint32_t RouteSerial = 0;

void RouteOf(uint32_t serial, int32_t dests, int32_t sources, int32_t *d, int32_t *s)
{
    uint32_t nd = static_cast<uint32_t>(dests);
    uint32_t ns = static_cast<uint32_t>(sources);
    *d = static_cast<int32_t>(serial % nd) + 1;
    *s = static_cast<int32_t>((serial / nd) % ns) + 1;
}

std::string RouteText(int32_t d, int32_t s)
{
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "RC %d %d %d ',---' 1", Site.wexId, s, d);
    return cmd;
}

std::string HbxLine(char kind, int32_t d, int32_t s)
{
    char line[40];
    std::snprintf(line, sizeof line, ".%cA%d,%d\r", kind, d, s);
    return line;
}

std::string RevertiveText(int32_t d, int32_t s)
{
    char rr[40];
    std::snprintf(rr, sizeof rr, "RR %03d %03d %03d", Site.wexId, d, s);
    return rr;
}

int64_t BareRoundTrip(const std::string &text)
{
    int64_t t0 = NowNs();
    SendCommand(Site.peer, text.c_str());
    return NowNs() - t0;
}

// The driver's route and the router's tally for one destination.
bool DriverSample(int32_t d, int32_t s, int64_t *route, int64_t *tally)
{
    Frame f;
    int64_t t0 = NowNs();
    SendCommand(Vek.driver, RouteText(d, s).c_str());
    if (!WaitFrame(kRouterEnd, HbxLine('S', d, s), t0 + kSecondNs, &f))
        return false;
    *route = f.firstByteNs - t0;
    Vek.expect = RevertiveText(d, s);
    Vek.expectNs = 0;
    int64_t t1 = RouterTally(d, s);
    if (!RunUntil([] { return Vek.expectNs != 0; }, 1000))
        return false;
    *tally = Vek.expectNs - t1;
    return true;
}

// The same two ways without the driver.
bool FloorSample(int32_t d, int32_t s, RouteSamples *out)
{
    Frame f;
    std::string cmd = RouteText(d, s);
    int64_t rttDown = BareRoundTrip(cmd);
    std::string set = HbxLine('S', d, s);
    int64_t t = WriteLine(Watch.ends[kFloorSlave].fd, set);
    if (!WaitFrame(kFloorMaster, set, t + kSecondNs, &f))
        return false;
    int64_t down = f.firstByteNs - t;
    int64_t rttUp = BareRoundTrip(cmd);
    std::string tally = HbxLine('A', d, s);
    t = WriteLine(Watch.ends[kFloorMaster].fd, tally);
    if (!WaitFrame(kFloorSlave, tally, t + kSecondNs, &f))
        return false;
    int64_t up = f.firstByteNs - t;
    out->rtt.push_back(rttDown);
    out->rtt.push_back(rttUp);
    out->ptyDown.push_back(down);
    out->ptyUp.push_back(up);
    out->floorRoute.push_back(rttDown + down);
    out->floorTally.push_back(rttUp + up);
    return true;
}

// Takes the set commands the router has seen and counts those that match
// the commands sent, position by position (one lost set shifts the rest).
uint64_t SetsInOrder(const std::vector<std::string> &expected)
{
    uint64_t matched = 0;
    size_t next = 0;
    for (const Frame &f : TakeFrames(kRouterEnd)) {
        if (f.text.size() < 2 || f.text[1] != 'S')
            continue;
        if (next < expected.size() && f.text == expected[next])
            ++matched;
        ++next;
    }
    return matched;
}

// The driver's table against the router's crosspoints, read back with RQ.
bool TalliesAgree(int32_t dests)
{
    char rq[64];
    std::snprintf(rq, sizeof rq, "RQ %d 1 %d 1", Site.wexId, dests);
    BatchBegin(static_cast<uint32_t>(dests));
    SendCommand(Vek.driver, rq);
    if (Vek.batchHeld != static_cast<uint32_t>(dests))
        return false;
    for (int32_t d = 1; d <= dests; ++d) {
        int device = 0, dest = 0, source = 0;
        if (std::sscanf(Vek.held[d], "RR %d %d %d", &device, &dest, &source) != 3 ||
            source != Watch.xpt[d])
            return false;
    }
    return true;
}

std::string HbxThroughputNote(const ThroughputRow &row, double settleSeconds)
{
    char text[600];
    int n = std::snprintf(text, sizeof text,
                          "%llu of %u set commands reached the router, in order; the driver's "
                          "table %s the router's crosspoints %.1f ms after the first command.",
                          static_cast<unsigned long long>(row.routed), row.commands,
                          row.agree ? "agreed with" : "did NOT agree with", settleSeconds * 1000);
    if (row.revertives > row.commands && n > 0)
        std::snprintf(text + n, sizeof text - static_cast<size_t>(n),
                      " %llu revertives more than commands: with ReAssert=1 a route whose "
                      "source the driver's table already shows is reported at once, and in this "
                      "burst the router's answers fell a whole cycle of the pattern (512 "
                      "commands) behind the commands, so the table showed the very source "
                      "asked for.",
                      static_cast<unsigned long long>(row.revertives - row.commands));
    else if (row.revertives == row.commands && n > 0)
        std::snprintf(text + n, sizeof text - static_cast<size_t>(n),
                      " Every tally change was reported, although the router wrote up to %llu "
                      "bytes of answers in one burst: a full receive ring leaves the rest in "
                      "the pseudo-terminal until the main loop has read.",
                      static_cast<unsigned long long>(Watch.maxAnswerBurst.load()));
    else if (row.revertives < row.commands && n > 0)
        std::snprintf(text + n, sizeof text - static_cast<size_t>(n),
                      " %llu tally changes were never reported (about %llu bytes of answers; "
                      "the router wrote up to %llu bytes of answers in one burst).",
                      static_cast<unsigned long long>(row.commands - row.revertives),
                      static_cast<unsigned long long>((row.commands - row.revertives) * 9),
                      static_cast<unsigned long long>(Watch.maxAnswerBurst.load()));
    return text;
}

}  // namespace

bool WaitHbxReady(int32_t dests, std::string *error)
{
    // The sweep's interrogates are answered "unknown", so the first
    // revertives are the report of every destination at the sweep's end.
    if (!RunUntil([&] { return Vek.revertives >= static_cast<uint64_t>(dests) || !DriverAlive(); },
                  60000)) {
        *error = "no end-of-sweep revertives from the driver:\n" + DriverLog();
        return false;
    }
    // The first command may still meet the driver before it takes commands.
    for (int attempt = 0; attempt < 50; ++attempt) {
        int32_t d = 0, s = 0;
        RouteOf(RouteSerial++, dests, kHbxSources, &d, &s);
        int64_t route = 0, tally = 0;
        if (DriverSample(d, s, &route, &tally))
            return true;
        DropFrames(kRouterEnd);
    }
    *error = "the driver takes no route commands:\n" + DriverLog();
    return false;
}

bool MeasureRoutes(int warmup, int count, RouteSamples *out)
{
    for (int i = 0; i < warmup + count; ++i) {
        int32_t d = 0, s = 0;
        RouteOf(RouteSerial++, kHbxDests, kHbxSources, &d, &s);
        int64_t route = 0, tally = 0;
        if (!DriverSample(d, s, &route, &tally)) {
            ++out->lost;
            DropFrames(kRouterEnd);
            if (!DriverAlive() || out->lost > 10)
                return false;
            continue;
        }
        RouteSamples scratch;
        if (!FloorSample(d, s, i < warmup ? &scratch : out))
            return false;
        if (i >= warmup) {
            out->route.push_back(route);
            out->tally.push_back(tally);
        }
    }
    return true;
}

ThroughputRow MeasureHbxThroughput(uint32_t count)
{
    ThroughputRow row;
    row.what = "HBXRCP, router answering every set";
    row.commands = count;
    DropFrames(kRouterEnd);
    Watch.answerSets = true;
    Watch.maxAnswerBurst = 0;
    uint64_t sets0 = Watch.setsSeen;
    uint64_t rr0 = Vek.revertives;
    std::vector<std::string> sets;
    int32_t last[kHbxDests + 1] = {};
    int64_t t0 = NowNs();
    for (uint32_t i = 0; i < count; ++i) {
        int32_t d = 0, s = 0;
        RouteOf(RouteSerial++, kHbxDests, kHbxSources, &d, &s);
        SendCommand(Vek.driver, RouteText(d, s).c_str());
        sets.push_back(HbxLine('S', d, s));
        last[d] = s;
    }
    RunUntil([&] { return Watch.setsSeen - sets0 >= count; }, 30000);
    row.seconds = static_cast<double>(Watch.lastSetNs - t0) / 1e9;
    // Settled: every destination reported with its last source, then quiet.
    bool settled = RunUntil(
        [&] {
            for (int32_t d = 1; d <= kHbxDests; ++d)
                if (Vek.reported[d] != last[d])
                    return false;
            return NowNs() - Vek.lastRevertiveNs > 200 * 1000000LL;
        },
        30000);
    double settle = static_cast<double>(Vek.lastRevertiveNs - t0) / 1e9;
    Watch.answerSets = false;
    row.routed = SetsInOrder(sets);
    row.revertives = Vek.revertives - rr0;
    row.agree = settled && TalliesAgree(kHbxDests);
    row.met = row.routed == count && row.agree;
    row.note = HbxThroughputNote(row, settle);
    row.floorSeconds = MeasureBareSends(count);
    return row;
}

ThroughputRow MeasureSimThroughput(uint32_t count, int32_t dests, int32_t sources)
{
    ThroughputRow row;
    row.what = "Simulation=1, every route reported back (2187)";
    row.commands = count;
    uint64_t rr0 = Vek.revertives;
    std::vector<std::string> expected, got;
    Vek.trace = &got;
    int64_t t0 = NowNs();
    for (uint32_t i = 0; i < count; ++i) {
        int32_t d = 0, s = 0;
        RouteOf(RouteSerial++, dests, sources, &d, &s);
        SendCommand(Vek.driver, RouteText(d, s).c_str());
        expected.push_back(RevertiveText(d, s));
    }
    RunUntil([&] { return Vek.revertives - rr0 >= count; }, 10000);
    row.seconds = static_cast<double>(Vek.lastRevertiveNs - t0) / 1e9;
    RunUntil([] { return false; }, 100);  // an excess would show too
    Vek.trace = nullptr;
    row.revertives = Vek.revertives - rr0;
    // Routed: the revertive of each command, in the order of the commands.
    for (size_t i = 0; i < expected.size() && i < got.size(); ++i)
        row.routed += expected[i] == got[i];
    row.agree = row.revertives == count;
    row.met = row.routed == count && row.agree;
    row.note = std::to_string(row.routed) + " of " + std::to_string(count) +
               " routes reported back in the order sent (in simulation the driver takes each "
               "route as done and reports it while handling the command).";
    row.floorSeconds = MeasureBareSends(count);
    return row;
}

double MeasureBareSends(uint32_t count)
{
    int64_t t0 = NowNs();
    for (uint32_t i = 0; i < count; ++i) {
        int32_t d = 0, s = 0;
        RouteOf(i, kHbxDests, kHbxSources, &d, &s);
        SendCommand(Site.peer, RouteText(d, s).c_str());
    }
    return static_cast<double>(NowNs() - t0) / 1e9;
}

bool WaitSimReady(int32_t dests, std::string *error)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        uint64_t rr0 = Vek.revertives;
        int32_t d = 0, s = 0;
        RouteOf(RouteSerial++, dests, 2, &d, &s);
        SendCommand(Vek.driver, RouteText(d, s).c_str());
        if (RunUntil([&] { return Vek.revertives > rr0; }, 200))
            return true;
    }
    *error = "the simulated driver reports no routes:\n" + DriverLog();
    return false;
}

bool MeasureBatches(int warmup, int count, int32_t dests, BatchSamples *out)
{
    char rq[64];
    std::snprintf(rq, sizeof rq, "RQ %d 1 %d 1", Site.wexId, dests);
    char bare[32];
    std::snprintf(bare, sizeof bare, "RQ %d", dests);
    for (int i = 0; i < warmup + count; ++i) {
        BatchBegin(static_cast<uint32_t>(dests));
        int64_t t0 = NowNs();
        SendCommand(Vek.driver, rq);
        RunUntil([&] { return Vek.batchHeld == static_cast<uint32_t>(dests); }, 5000);
        if (Vek.batchHeld != static_cast<uint32_t>(dests))
            return false;
        int64_t driver = Vek.batchDoneNs - t0;
        BatchBegin(static_cast<uint32_t>(dests));
        t0 = NowNs();
        SendCommand(Site.peer, bare);
        if (Vek.batchHeld != static_cast<uint32_t>(dests))
            return false;
        int64_t floor = Vek.batchDoneNs - t0;
        if (i >= warmup) {
            out->driver.push_back(driver);
            out->floor.push_back(floor);
        }
    }
    return true;
}
