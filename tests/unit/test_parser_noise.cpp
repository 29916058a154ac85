// Line noise against every receive parser: a million random bytes (fixed
// seed) over two ports of the protocol, with the revertive delay and the
// ports' comms-fail state switched now and then.  Afterwards no table may
// hold anything but a real source or -1 for a real destination, nothing
// past the destination count may have changed, every report that left the
// driver names a real destination, the error counts must add up, and one
// valid message from the protocol's own examples must be parsed again.
//
// SIMPLE and COX have no parser: they read their answers from the comms
// library's ring.  There a million random bytes arrive as the answers to
// some five thousand requests, on a pseudo-terminal.
#include "router_harness.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/root.h"
#include "protocols/btsesswitch.h"
#include "protocols/network.h"
#include "reply_line.h"

using namespace bench;

namespace {

using ByteString = std::vector<uint8_t>;
using Random = std::mt19937;
using Tally = std::pair<int32_t, int32_t>;  // destination, source

constexpr int32_t kSources = 40;
constexpr int32_t kDests = 200;  // port 1 serves 1..100, port 2 101..200
constexpr int kNoiseBytes = 1000000;
constexpr uint32_t kSeed = 0x5EED2024;
constexpr int kFailEvery = 4096;    // bytes between marking the port failed
constexpr int kDelayEvery = 65536;  // bytes between switching RevertiveDelay

void NoSink(const char *) {}

int Transmissions = 0;
void CountTransmission(int, const uint8_t *, int) { ++Transmissions; }

struct ParserCase {
    const char *name;
    uint8_t code;
    void (*settings)();                     // the profile values the parser reads
    void (*shape)(Random &, ByteString &);  // one message of the protocol's shape
    int32_t reach;               // the highest destination its messages can name
    int minBytesPerError;        // 0: it never counts a line error
    bool clearsFailure;          // a failed port comes back (and is reported ok)
    ByteString resync;           // ends whatever message the noise left open
    ByteString valid;            // one message like the protocol's own examples
    std::vector<Tally> tallies;  // what it sets (port 1, MinDest 1)
    // Messages naming an output past the end of their port (port 1 ends at
    // 100) or before its start (port 2 starts at 101): the wire counts from
    // the port's MinDest, so that is no output of the other port.
    std::vector<std::pair<int, ByteString>> strays = {};
};

// ---- Noise shaped like each protocol's messages ----
//
// Uniform random bytes almost never make a message a parser takes, so half
// of the noise is messages of the protocol's own shape with random numbers
// in them (mostly this device's, often beyond it, now and then absurd),
// some of them corrupted on the way.


int Pick(Random &r, int n) { return static_cast<int>(r() % static_cast<uint32_t>(n)); }

char OneOf(Random &r, const char *set) { return set[Pick(r, static_cast<int>(std::strlen(set)))]; }

// A number a router might send where a destination or source stands.
long Number(Random &r, long usual)
{
    switch (Pick(r, 8)) {
    case 0:
        return -Pick(r, 5);
    case 1:
        return static_cast<long>(r() % 100000000u);
    case 2:
        return Pick(r, 1000);
    default:
        return Pick(r, static_cast<int>(usual) + 3);
    }
}
long Dest(Random &r) { return Number(r, kDests); }
long Source(Random &r) { return Number(r, kSources); }

void Add(ByteString &out, const std::string &text)
{
    out.insert(out.end(), text.begin(), text.end());
}

std::string Format(const char *format, long value)
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void HbxrcpShape(Random &r, ByteString &out)
{
    std::string line = ".A";
    for (int i = 0, n = 1 + Pick(r, 14); i < n; ++i) {
        if (i > 0)
            line += OneOf(r, "   ,;");
        line += OneOf(r, "ABCZa-");
        line += std::to_string(Dest(r)) + "," + (Pick(r, 6) ? std::to_string(Source(r)) : "-");
    }
    Add(out, line + "\r");
}

// Checksum (-(bytes 1..last)) & mask, as PROBEL (0x7F) and SONY (0xFF) use.
uint8_t Sum(const ByteString &m, size_t last, unsigned mask)
{
    unsigned sum = 0;
    for (size_t i = 1; i <= last && i < m.size(); ++i)
        sum += m[i];
    return static_cast<uint8_t>((0u - sum) & mask);
}

void ProbelShape(Random &r, ByteString &out)
{
    static const uint8_t kCommands[] = {1, 2, 3, 3, 3, 4, 4, 0x33};
    uint8_t command = kCommands[Pick(r, 8)];
    uint8_t mult = Pick(r, 2) ? 0 : static_cast<uint8_t>(r() & 0x77);
    ByteString m = {0xFF, command, mult, static_cast<uint8_t>(Dest(r) & 0x7F),
                    static_cast<uint8_t>((Source(r) - 1) & 0x7F)};
    size_t last = command == 1 ? 3 : 4;
    m.resize(last + 2);
    m[last + 1] = Pick(r, 5) ? Sum(m, last, 0x7F) : static_cast<uint8_t>(r() & 0x7F);
    out.insert(out.end(), m.begin(), m.end());
}

void VistekShape(Random &r, ByteString &out)
{
    Add(out, std::string(".") + OneOf(r, "AISXZAISXZEPQ") + OneOf(r, "VVVVZ") +
                 std::to_string(Dest(r)) + "," + std::to_string(Source(r)) + "\r");
}

void NtpeqShape(Random &r, ByteString &out)
{
    char kind = OneOf(r, "GHIJKMMMX");
    std::string line = std::string(".") + OneOf(r, "qqqqZ") + kind + std::to_string(Number(r, 41));
    for (int i = 0, n = kind == 'M' ? 6 - Pick(r, 2) : 1; i < n; ++i)
        line += "," + std::to_string(Source(r));
    Add(out, line + "\r");
}

void VardaShape(Random &r, ByteString &out)
{
    const char *chars = "0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZaz~";
    std::string line(1, OneOf(r, "IIIRRRSSS?"));
    for (int i = 0, n = Pick(r, 8) ? 2 : Pick(r, 4); i < n; ++i)
        line += OneOf(r, chars);
    Add(out, line + "\r");
}

void BtsasciiShape(Random &r, ByteString &out)
{
    long source = Source(r) - 1;
    Add(out, std::string("Z") + OneOf(r, "RRRRYW ") + Format("%03ld", Dest(r) % 1000) +
                 (Pick(r, 8) ? Format("%03ld", source % 1000) : Format("%3ld", source)) + "\r");
}

void QuartzShape(Random &r, ByteString &out)
{
    static const char *const kLevels[] = {"V", "VAB", "XAB", "VA", "A"};
    std::string line = std::string(".") + OneOf(r, "AAUU?");
    line += line[1] == 'U' ? kLevels[Pick(r, 5)] : std::string(1, OneOf(r, "VVVA"));
    Add(out, line + Format("%03ld,", Dest(r)) + Format("%04ld", Source(r)) + "\r");
}

void BtsesswitchShape(Random &r, ByteString &out)
{
    if (Pick(r, 5) == 0) {
        static const uint8_t kSingles[] = {0x04, 0x05, 0x07, 0x00};
        out.push_back(kSingles[Pick(r, 4)]);
        return;
    }
    ByteString data = {static_cast<uint8_t>(r()), static_cast<uint8_t>(r())};
    if (Pick(r, 40) == 0)
        data[0] = 0x40;  // the router restarted
    for (int i = 0, n = 1 + Pick(r, 4); i < n; ++i) {
        long dest = Dest(r) - 1, count = Pick(r, 3);
        data.insert(data.end(), {static_cast<uint8_t>(Pick(r, 10) ? 0x47 : r()), 0, 0,
                                 static_cast<uint8_t>(dest >> 8), static_cast<uint8_t>(dest), 0,
                                 static_cast<uint8_t>(count)});
        for (long j = 0; j < count; ++j) {
            long source = Source(r) - 1;
            data.insert(data.end(),
                        {static_cast<uint8_t>(source >> 8), static_cast<uint8_t>(source)});
        }
    }
    ByteString frame = {0x02, static_cast<uint8_t>(Pick(r, 8) ? data.size() : r())};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(Sum(frame, frame.size() - 1, 0xFF));
    out.insert(out.end(), frame.begin(), frame.end());
}

void NetworkShape(Random &r, ByteString &out)
{
    out.push_back(Pick(r, 4) ? 0xA3 : static_cast<uint8_t>(0x80 | r()));
    out.push_back(static_cast<uint8_t>(Dest(r) & 0x7F));
    out.push_back(static_cast<uint8_t>((Source(r) - 1) & 0x7F));
}

void LeitchShape(Random &r, ByteString &out)
{
    std::string line = std::string(Pick(r, 8) ? "S:" : "T:") + OneOf(r, "0123456789") +
                       Format("%lX,", Dest(r) - 1);
    line += Pick(r, 6) ? Format("%lX", Source(r) - 1) : std::string("X");
    Add(out, line + (Pick(r, 4) ? "\r" : "\n\r"));
}

void AdrienneShape(Random &r, ByteString &out)
{
    out.insert(out.end(), {static_cast<uint8_t>(0x2F + Source(r)), static_cast<uint8_t>(r()),
                           static_cast<uint8_t>(Pick(r, 6) ? 0x31 : r())});
}

void PesaShape(Random &r, ByteString &out)
{
    std::string line = Format("%03ld", Pick(r, 6) ? Dest(r) % 100 : Dest(r)) +
                       Format("%02ld", Pick(r, 100)) + Format("%03ld", Source(r));
    Add(out, line + (Pick(r, 8) ? "\r\n" : "\n"));
}

void SonyShape(Random &r, ByteString &out)
{
    ByteString f = {0x02, static_cast<uint8_t>(Pick(r, 8) ? 6 : Pick(r, 20)), 0x31, 0x01, 0x01,
                    static_cast<uint8_t>(Pick(r, 5) ? 0x72 : r()),
                    static_cast<uint8_t>(Source(r) & 0x7F), static_cast<uint8_t>(Dest(r) & 0x7F)};
    f.push_back(Pick(r, 5) ? Sum(f, 7, 0xFF) : static_cast<uint8_t>(r()));
    out.insert(out.end(), f.begin(), f.end());
}

// A byte changed, lost or added, or the message cut short.
void Corrupt(Random &r, ByteString &m)
{
    if (m.empty())
        return;
    size_t at = static_cast<size_t>(Pick(r, static_cast<int>(m.size())));
    switch (Pick(r, 4)) {
    case 0:
        m[at] = static_cast<uint8_t>(r());
        break;
    case 1:
        m.erase(m.begin() + static_cast<long>(at));
        break;
    case 2:
        m.insert(m.begin() + static_cast<long>(at), static_cast<uint8_t>(r()));
        break;
    default:
        m.resize(at);
        break;
    }
}

// Two in five segments a message, one in five a corrupted one, the rest
// one to 64 uniform random bytes.
void NextSegment(Random &r, void (*shape)(Random &, ByteString &), ByteString &segment)
{
    segment.clear();
    int kind = Pick(r, 5);
    if (kind < 3) {
        shape(r, segment);
        if (kind == 2)
            Corrupt(r, segment);
        return;
    }
    for (int i = 0, n = 1 + Pick(r, 64); i < n; ++i)
        segment.push_back(static_cast<uint8_t>(r()));
}

void NoSettings() {}
void QuartzSettings() { std::snprintf(Profile.QuartzLevels, sizeof Profile.QuartzLevels, "VAB"); }
void NetworkSettings()
{
    Profile.NetworkRouterType = 0xA0;
    Profile.NetworkRouterLvl = 3;
    NetworkSweepDone = 0;
}
void BtsSettings() { BtsStartup(); }  // the link flags back to their start

ByteString Repeat(const ByteString &bytes, int times)
{
    ByteString out;
    for (int i = 0; i < times; ++i)
        out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

// The resync column: a line end for the line protocols, nothing where a
// start byte restarts collection anyway, enough ACK bytes to finish or drop
// any BTSESSWITCH frame, more than a SONY frame can hold, and for ADRIENNE
// (no delimiter at all) statuses until the collector falls into step.
const ParserCase kParsers[] = {
    {"Hbxrcp", 1, NoSettings, HbxrcpShape, kDests, 2, true, Text("\r"), Text(".AA12,5\r"),
     {{12, 5}}},
    // Destination 12 (the examples' 130 is past port 1's last output).
    {"Probel", 2, NoSettings, ProbelShape, kDests, 5, true, {}, Bytes("FF 03 00 0B 04 6E"),
     {{12, 5}}, {{1, Bytes("FF 03 00 64 04 15")}}},
    {"Vistek", 5, NoSettings, VistekShape, kDests, 3, true, Text("\r"), Text(".SV12,5\r"),
     {{12, 5}}},
    {"Ntpeq", 6, NoSettings, NtpeqShape, kDests, 0, false, Text("\r"),
     Text(".qM2,1,2,3,4,5,0\r"), {{6, 1}, {7, 2}, {8, 3}, {9, 4}, {10, 5}},
     {{1, Text(".qG21,5\r")}, {1, Text(".qM21,1,2,3,4,5,0\r")}}},
    {"Vardartr", 7, NoSettings, VardaShape, kDests, 4, true, Text("\r"), Text("IA0\r"),
     {{11, 1}}, {{1, Text("I\x9b" "4\r")}, {2, Text("I/4\r")}}},
    // An output is one character worth c - "0": up to 0xFF - 0x30, whichever
    // port it came on.
    {"Vardagpi", 8, NoSettings, VardaShape, 0xFF - 0x30, 4, false, Text("\r"), Text("S30\r"),
     {{3, 2}}},
    {"Btsascii", 9, NoSettings, BtsasciiShape, kDests, 0, true, Text("\r"), Text("ZR005012\r"),
     {{6, 13}}, {{1, Text("ZR100004\r")}, {2, Text("ZR-01004\r")}}},
    {"Quartz", 10, QuartzSettings, QuartzShape, kDests, 0, true, {}, Text(".AV005,0012\r"),
     {{5, 12}}, {{1, Text(".AV101,0005\r")}, {2, Text(".AV000,0005\r")}}},
    {"Btsesswitch", 11, BtsSettings, BtsesswitchShape, kDests, 3, true, Repeat({0x04}, 258),
     Bytes("02 0B 00 00 47 00 00 00 04 00 01 00 09 A0"), {{5, 10}},
     {{1, Bytes("02 0B 00 00 47 00 00 00 64 00 01 00 04 45")}}},
    {"Network", 12, NetworkSettings, NetworkShape, kDests, 0, true, {}, Bytes("A3 05 09"),
     {{6, 10}}, {{1, Bytes("A3 64 04")}}},
    {"Leitch", 13, NoSettings, LeitchShape, kDests, 0, true, Text("\r"), Text("S:11F,A\r"),
     {{32, 11}}, {{1, Text("S:164,4\r")}, {2, Text("S:1-1,4\r")}}},
    // The unit's state is destination 1, whatever port it came on.
    {"Adrienne", 14, NoSettings, AdrienneShape, 1, 0, false, Repeat(Bytes("30 00 31"), 4),
     Bytes("32 00 31"), {{1, 3}}},
    {"Pesa", 15, NoSettings, PesaShape, kDests, 0, true, Text("\n"), Text("01201034\r\n"),
     {{12, 34}}, {{2, Text("00001005\r\n")}}},
    {"Sony", 16, NoSettings, SonyShape, kDests, 4, true, Repeat({0x00}, 17),
     Bytes("02 06 31 01 01 72 03 01 51"), {{1, 3}},
     {{1, Bytes("02 06 31 01 01 72 05 65 EB")}, {2, Bytes("02 06 31 01 01 72 05 00 50")}}},
};

void PrintTo(const ParserCase &c, std::ostream *out) { *out << c.name; }

// A device of 40 sources and 200 destinations, both ports of the protocol,
// an external driver attached, debug output on but going nowhere.
void SetUpDevice(uint8_t code, int32_t split)
{
    Reset();
    SetDebugSink(NoSink);
    SetPortTransmitHook(CountTransmission);
    Transmissions = 0;
    Profile.DatabaseSize_0 = kSources;
    Profile.DatabaseSize_1 = kDests;
    UsePort(1, code, 1, split);
    UsePort(2, code, split + 1, kDests);
    Shell.ExternalDriverWindow = External;
    Dlg.SelectedDest = 12;
}

// Marks the port failed from time to time and counts how often the
// protocol brought it back.
struct FailureToggle {
    int recovered[3] = {};
    bool marked[3] = {};
    void Tick(int port)
    {
        if (marked[port] && Ports.CommsFail[port] == 0)
            ++recovered[port];
        Ports.CommsFail[port] = 1;
        marked[port] = true;
    }
    void Finish()
    {
        for (int port = 1; port <= 2; ++port)
            if (marked[port] && Ports.CommsFail[port] == 0)
                ++recovered[port];
    }
};

// What every noise run must leave behind: sources or -1 for the
// destinations the protocol can name, zeros elsewhere, and only those
// destinations reported.
void ExpectTablesSane(int32_t reach)
{
    for (int32_t d = 0; d < kTableSize; ++d) {
        SCOPED_TRACE(d);
        if (d >= 1 && d <= reach) {
            EXPECT_GE(Routing.TallyTable[d], -1);
            EXPECT_LE(Routing.TallyTable[d], kSources);
            EXPECT_GE(Routing.PendingTable[d], -1);
            EXPECT_LE(Routing.PendingTable[d], kSources);
        } else {
            EXPECT_EQ(Routing.TallyTable[d], 0);
            EXPECT_EQ(Routing.PendingTable[d], 0);
        }
        EXPECT_EQ(Routing.LockTable[d], 0);
        EXPECT_EQ(Routing.VirtualTable[d], 0);
        if (::testing::Test::HasFailure())
            return;  // one entry tells the story
    }
    for (int port = 3; port <= kMaxPorts; ++port) {
        EXPECT_EQ(Ports.ErrorCount[port], 0u) << port;
        EXPECT_EQ(Ports.CommsFail[port], 0) << port;
        EXPECT_EQ(Proto.RxCount[port], 0) << port;
    }
    for (const auto &m : Inbox) {
        int id = 0, dest = 0, source = 0;
        if (m.code == 2187 || m.code == 2188) {
            ASSERT_EQ(std::sscanf(m.text.c_str(), "RR %d %d %d", &id, &dest, &source), 3)
                << m.text;
        } else if (m.code == 2741) {
            dest = static_cast<int>(m.wParam);
            source = static_cast<int>(m.lParam);
        } else {
            continue;
        }
        ASSERT_TRUE(dest >= 1 && dest <= reach && source >= -1 && source <= kSources)
            << m.code << " " << dest << " " << source;
    }
}

// After noise: the protocol's resync, then one valid message, whose
// tallies must land (each entry first set to something else).
void ExpectRecovery(const ByteString &resync, const ByteString &valid,
                    const std::vector<Tally> &tallies)
{
    Profile.RevertiveDelay = 0;
    Feed(1, resync);
    for (const auto &[dest, source] : tallies)
        Routing.TallyTable[dest] = source == -1 ? 0 : -1;
    Feed(1, valid);
    for (const auto &[dest, source] : tallies)
        EXPECT_EQ(Routing.TallyTable[dest], source) << "destination " << dest;
}

class ParserNoise : public ::testing::TestWithParam<ParserCase> {
protected:
    void TearDown() override { Finish(); }
};

}  // namespace

TEST_P(ParserNoise, MillionRandomBytes)
{
    const ParserCase &c = GetParam();
    SetUpDevice(c.code, 100);
    c.settings();
    Random random(kSeed);
    FailureToggle failures;
    int fed[3] = {};
    ByteString segment;
    for (int sent = 0; sent < kNoiseBytes;) {
        // Each segment goes to one port or the other, so that state shared
        // between ports (or wrongly kept per port) is exercised.
        int port = 1 + Pick(random, 2);
        NextSegment(random, c.shape, segment);
        for (size_t i = 0; i < segment.size() && sent < kNoiseBytes; ++i, ++sent) {
            if (sent % kDelayEvery == 0)
                Profile.RevertiveDelay = Profile.RevertiveDelay == 0 ? 500 : 0;
            if (++fed[port] % kFailEvery == 0)
                failures.Tick(port);
            ReceiveDispatch(port, segment[i]);
        }
        if (::testing::Test::HasFatalFailure())
            return;
    }
    failures.Finish();
    ExpectTablesSane(c.reach);
    EXPECT_NE(std::count_if(Routing.PendingTable + 1, Routing.PendingTable + kDests + 1,
                            [](int32_t s) { return s != 0; }),
              0)
        << "the revertive delay applies to every parser";
    for (int port = 1; port <= 2; ++port) {
        SCOPED_TRACE(port);
        uint32_t recovered = static_cast<uint32_t>(failures.recovered[port]);
        if (c.minBytesPerError == 0) {
            EXPECT_EQ(Ports.ErrorCount[port], recovered) << "only the ok reports count";
        } else {
            EXPECT_LE(Ports.ErrorCount[port],
                      recovered + static_cast<uint32_t>(fed[port] / c.minBytesPerError));
        }
        if (c.clearsFailure) {
            EXPECT_GT(recovered, 0u);
        } else {
            EXPECT_EQ(recovered, 0u) << "this protocol never clears a failure";
        }
        EXPECT_GE(Proto.RxCount[port], 0);
        EXPECT_LE(Proto.RxCount[port], 256);
    }
    ExpectRecovery(c.resync, c.valid, c.tallies);
}

// A router's word on an output its port does not own never lands in
// another port's range.
TEST_P(ParserNoise, StraysStayOffOtherPorts)
{
    const ParserCase &c = GetParam();
    SetUpDevice(c.code, 100);
    c.settings();
    for (const auto &[port, message] : c.strays)
        Feed(port, message);
    for (int32_t d = 0; d < kTableSize; ++d) {
        ASSERT_EQ(Routing.TallyTable[d], 0) << "destination " << d;
        ASSERT_EQ(Routing.PendingTable[d], 0) << "destination " << d;
    }
    EXPECT_TRUE(Revertives().empty());
}

INSTANTIATE_TEST_SUITE_P(Parsers, ParserNoise, ::testing::ValuesIn(kParsers),
                         [](const ::testing::TestParamInfo<ParserCase> &info) {
                             return std::string(info.param.name);
                         });

// ---- SIMPLE and COX: random answers in the ring ----

namespace {

std::mt19937 AnswerRandom(kSeed);
long AnswerBytes = 0;
int Requests = 0;

// Ring count, waited for closely: the requests come thick and fast.
bool WaitForRing(int want)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (line::InRing() < want) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return true;
}

// Takes away what the driver sent so far, so that its writes never wait
// for room on the line.
void DrainRequests()
{
    uint8_t junk[4096];
    pollfd p{line::Master, POLLIN, 0};
    while (poll(&p, 1, 0) == 1 && read(line::Master, junk, sizeof junk) > 0) {
    }
}

// Every request is answered by random bytes.  Mostly the answer is as long
// as the reader waits for (two bytes for a COX interrogate, one byte
// otherwise) or a little longer; else up to 400 bytes, of which all but the
// first must be thrown away; and now and then it is too short, which costs
// the reader its whole wait.
void RandomAnswer(int, const uint8_t *, int requestLength)
{
    ++Requests;
    DrainRequests();
    int wanted = requestLength == 3 ? 2 : 1;
    uint32_t pick = AnswerRandom();
    int length = pick % 2500 == 0 ? static_cast<int>(pick % static_cast<uint32_t>(wanted))
                 : pick % 4 == 0  ? wanted + static_cast<int>(pick % 3)
                                  : wanted + static_cast<int>(pick % 400);
    ByteString answer(static_cast<size_t>(length));
    for (auto &b : answer)
        b = static_cast<uint8_t>(AnswerRandom());
    if (answer.empty())
        return;
    // Every other COX answer is well formed: an interrogate answer whose
    // checksum holds, a route acknowledged.  Any SIMPLE byte is an answer.
    if (AnswerRandom() % 2 == 0) {
        if (requestLength == 3 && length >= 2)
            answer[1] = static_cast<uint8_t>(0u - answer[0]);
        else if (requestLength == 4)
            answer[0] = 0x04;
    }
    int before = line::InRing();
    ASSERT_EQ(write(line::Master, answer.data(), answer.size()),
              static_cast<ssize_t>(answer.size()));
    ASSERT_TRUE(WaitForRing(before + length));
    AnswerBytes += length;
}

struct RingCase {
    const char *name;
    uint8_t code;
    int32_t reach;          // the highest destination a request can name
    bool pends;             // whether RevertiveDelay applies
    int32_t dest;           // polled, then routed
    ByteString pollAnswer;  // the valid answer to the poll: source 5
    std::vector<ByteString> routeAnswers;  // the valid answers to a route of source 9
};

const RingCase kRings[] = {
    // A SIMPLE route is followed by a poll: both are answered.
    // Wire destinations 0..127; every answer goes straight to the table.
    {"Simple", 3, 128, false, 3, {0x04}, {{0x08}, {0x08}}},
    {"Cox", 4, kDests, true, 12, {0x04, 0xFC}, {{0x04}}},
};

void PrintTo(const RingCase &c, std::ostream *out) { *out << c.name; }

class RingNoise : public ::testing::TestWithParam<RingCase> {
protected:
    TempRoot root;
    Pty pty;
    void SetUp() override
    {
        Reset();
        SetDebugSink(NoSink);
        SetRootDirectory(root.dir.c_str());
        Profile.DatabaseSize_0 = kSources;
        Profile.DatabaseSize_1 = kDests;
        UsePort(1, GetParam().code, 1, kDests);
        Dlg.SelectedDest = 12;
        ASSERT_TRUE(line::Open(&pty, 1));
        SetPortTransmitHook(RandomAnswer);
        AnswerRandom.seed(kSeed);
        AnswerBytes = 0;
        Requests = 0;
    }
    void TearDown() override
    {
        line::Close(&pty);
        Finish();
    }
};

}  // namespace

TEST_P(RingNoise, MillionRandomAnswerBytes)
{
    const RingCase &c = GetParam();
    const ProtocolOps *ops = ProtocolTable[c.code];
    std::mt19937 random(kSeed + 1);
    FailureToggle failures;
    for (int round = 1; AnswerBytes < kNoiseBytes; ++round) {
        // Destinations past the port's reach included: those requests are
        // refused before anything is sent.
        int32_t dest = 1 + static_cast<int32_t>(random() % (kDests + 8));
        int32_t source = static_cast<int32_t>(random() % (kSources + 1));
        if (round % 64 == 0)
            failures.Tick(1);
        Profile.RevertiveDelay = (round / 512) % 2 == 0 ? 0 : 500;
        if (random() % 4 == 0)
            ops->route(source, dest);
        else
            ops->poll(dest);
        if (::testing::Test::HasFatalFailure())
            return;
    }
    failures.Finish();
    uint32_t recovered = static_cast<uint32_t>(failures.recovered[1]);
    ExpectTablesSane(c.reach);
    EXPECT_EQ(std::count_if(Routing.PendingTable + 1, Routing.PendingTable + kDests + 1,
                            [](int32_t s) { return s != 0; }) != 0,
              c.pends);
    EXPECT_GT(recovered, 0u);
    // At most one error per request (an FF answer, a bad checksum or a
    // refused route), and one "ok" report per recovery.
    EXPECT_LE(Ports.ErrorCount[1], static_cast<uint32_t>(Requests) + recovered);

    // The line is clean again: a poll and a route with their valid answers.
    Profile.RevertiveDelay = 0;
    Ports.CommsFail[1] = 0;
    DrainRequests();
    SetPortTransmitHook(line::Answer);
    Routing.TallyTable[c.dest] = -1;
    line::Script = {c.pollAnswer};
    ops->poll(c.dest);
    EXPECT_EQ(Routing.TallyTable[c.dest], 5);
    line::Script.assign(c.routeAnswers.begin(), c.routeAnswers.end());
    ops->route(9, c.dest);
    EXPECT_EQ(Routing.TallyTable[c.dest], 9);
}

INSTANTIATE_TEST_SUITE_P(AnswerReaders, RingNoise, ::testing::ValuesIn(kRings),
                         [](const ::testing::TestParamInfo<RingCase> &info) {
                             return std::string(info.param.name);
                         });
