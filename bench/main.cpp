// wexbench: entry point, options, the order of the runs and the verdicts.
//
//   wexbench [--quick] [--out FILE] [--wex PATH] [--routes N] [--commands N]
//            [--batches N] [--samples DIR] [--keep] [--driver-debug]
//            [--wrap "perf record -g -o wex-{id}.data --"]
//
// Runs the HBXRCP device (route and tally latency, throughput), then a
// simulated 4096-destination device (batch report, throughput), and writes
// the Markdown report to FILE (standard output by default).
#include "bench/benchmarks.h"

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef WEX_BIN
#define WEX_BIN "wex"
#endif

namespace {

const char kHbxProfile[] =
    "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=32\n"
    "[WEX]\nInitTallyDelay=20\nTallyDelay=2000\nDebugMode=0\n"
    "[Com_1]\nPort=1\nMinDest=1\nMaxDest=32\nProtocol=HBXRCP\nSpeed=38400\n";
constexpr int32_t kSimSources = 1024;
const char kSimProfile[] =
    "[Database]\nDatabaseSize_0=1024\nDatabaseSize_1=4096\n"
    "[WEX]\nSimulation=1\nInitTallyDelay=20\nTallyDelay=2000\nDebugMode=0\n";
constexpr double kLatencyP99TargetUs = 1000;
constexpr double kBatchTargetUs = 50000;

struct Options {
    bool quick = false;
    bool keep = false;
    bool driverDebug = false;  // DebugMode=1 in the profiles (the log grows)
    std::string out = "-";
    std::string wex = WEX_BIN;
    std::string wrap;     // a profiler or tracer to run the driver under
    std::string samples;  // directory for the raw samples, one file per series
    int routes = 10000;
    int commands = 10000;
    int batches = 30;
};

const char kUsage[] =
    "usage: wexbench [--quick] [--out FILE] [--wex PATH] [--routes N] [--commands N]\n"
    "                [--batches N] [--samples DIR] [--keep] [--driver-debug]\n"
    "                [--wrap \"perf record -g -o wex-{id}.data --\"]\n"
    "Measures the driver (route and tally latency, batch report, command\n"
    "throughput) beside the floor of this machine and writes a Markdown report.\n";

bool ParseOptions(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool more = i + 1 < argc;
        if (a == "--quick") {
            o->quick = true;
            o->routes = 1000;
            o->batches = 10;
        } else if (a == "--keep") {
            o->keep = true;
        } else if (a == "--driver-debug") {
            o->driverDebug = true;
        } else if (more && a == "--out") {
            o->out = argv[++i];
        } else if (more && a == "--wex") {
            o->wex = argv[++i];
        } else if (more && a == "--wrap") {
            o->wrap = argv[++i];
        } else if (more && a == "--samples") {
            o->samples = argv[++i];
        } else if (more && (a == "--routes" || a == "--commands" || a == "--batches")) {
            int v = std::atoi(argv[++i]);
            if (v < 1)
                return false;
            (a == "--routes" ? o->routes : a == "--commands" ? o->commands : o->batches) = v;
        } else {
            return false;
        }
    }
    return true;
}

std::string SelfPath()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "";
    path[n] = 0;
    return path;
}

// One sample a line, in nanoseconds, in the order taken.
void SaveSamples(const Options &o, const char *name, const std::vector<int64_t> &v)
{
    if (o.samples.empty())
        return;
    std::string path = o.samples + "/" + name + ".txt";
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return;
    for (int64_t x : v)
        std::fprintf(f, "%lld\n", static_cast<long long>(x));
    std::fclose(f);
}

LatencyRow Latency(const std::string &what, const std::vector<int64_t> &driver,
                   const std::vector<int64_t> &floor)
{
    LatencyRow row;
    row.what = what;
    row.driver = Summarise(driver);
    row.floor = Summarise(floor);
    row.target = "median ≤ 2× floor, p99 < 1 ms";
    double ratio = row.floor.medianUs > 0 ? row.driver.medianUs / row.floor.medianUs : 0;
    bool ratioOk = row.floor.medianUs > 0 && ratio <= 2.0;
    bool p99Ok = row.driver.p99Us < kLatencyP99TargetUs;
    row.met = ratioOk && p99Ok && row.driver.n > 0;
    char note[256];
    if (!ratioOk)
        std::snprintf(note, sizeof note, "median is %.2f× the floor: %s over the 2× target. ",
                      ratio, FormatUs(row.driver.medianUs - 2 * row.floor.medianUs).c_str());
    else
        note[0] = 0;
    row.note = note;
    if (!p99Ok) {
        auto over = [](const std::vector<int64_t> &v) {
            size_t n = 0;
            for (int64_t x : v)
                n += x > static_cast<int64_t>(kLatencyP99TargetUs * 1000);
            return v.empty() ? 0.0 : 100.0 * static_cast<double>(n) / static_cast<double>(v.size());
        };
        char tail[200];
        std::snprintf(tail, sizeof tail,
                      "p99 is %s over the 1 ms target; %.2f%% of the driver's samples took over "
                      "1 ms, against %.2f%% of the floor's.",
                      FormatUs(row.driver.p99Us - kLatencyP99TargetUs).c_str(), over(driver),
                      over(floor));
        row.note += tail;
    }
    return row;
}

void RouteFindings(const RouteSamples &r, BenchReport *report)
{
    Summary route = Summarise(r.route), tally = Summarise(r.tally);
    Summary rtt = Summarise(r.rtt), down = Summarise(r.ptyDown), up = Summarise(r.ptyUp);
    char text[512];
    std::snprintf(text, sizeof text,
                  "Route: the driver's median %s against a one-way budget of half a bus round "
                  "trip (%s) plus the line's write-to-read (%s); what the driver adds on top of "
                  "those is about %s.",
                  FormatUs(route.medianUs).c_str(), FormatUs(rtt.medianUs / 2).c_str(),
                  FormatUs(down.medianUs).c_str(),
                  FormatUs(route.medianUs - rtt.medianUs / 2 - down.medianUs).c_str());
    report->findings.push_back(text);
    std::snprintf(text, sizeof text,
                  "Tally: the driver's median %s against the line's write-to-read (%s) plus half "
                  "a bus round trip (%s); the driver adds about %s (its reader thread, the wake "
                  "of its loop, the parse and the revertive's text).",
                  FormatUs(tally.medianUs).c_str(), FormatUs(up.medianUs).c_str(),
                  FormatUs(rtt.medianUs / 2).c_str(),
                  FormatUs(tally.medianUs - rtt.medianUs / 2 - up.medianUs).c_str());
    report->findings.push_back(text);
    if (r.lost != 0)
        report->failures.push_back(std::to_string(r.lost) + " routes or tallies never arrived");
    report->components.push_back({"bus round trip to the bare peer (2074 text)", rtt});
    report->components.push_back({"pty write-to-read, slave → master (driver → router)", down});
    report->components.push_back({"pty write-to-read, master → slave (router → driver)", up});
}

void BatchRow(const BatchSamples &b, int32_t dests, BenchReport *report)
{
    LatencyRow row;
    row.what = "Batch report: RQ over " + std::to_string(dests) + " destinations";
    row.driver = Summarise(b.driver);
    row.floor = Summarise(b.floor);
    row.target = "p99 < 50 ms, median ≤ 2× floor";
    double ratio = row.floor.medianUs > 0 ? row.driver.medianUs / row.floor.medianUs : 0;
    bool fast = row.driver.p99Us < kBatchTargetUs;
    bool near = row.floor.medianUs > 0 && ratio <= 2.0;
    row.met = fast && near && row.driver.n > 0;
    char text[600];
    std::snprintf(text, sizeof text,
                  "%s%sEach text is one synchronous bus send: %s a text from the driver, %s "
                  "from the bare peer; 50 ms for %d texts allows %s a text.",
                  fast ? "" : ("p99 is " + FormatUs(row.driver.p99Us - kBatchTargetUs) +
                               " over 50 ms. ").c_str(),
                  near ? "" : "The median is over twice the floor. ",
                  FormatUs(row.driver.medianUs / dests).c_str(),
                  FormatUs(row.floor.medianUs / dests).c_str(), dests,
                  FormatUs(kBatchTargetUs / dests).c_str());
    row.note = text;
    if (row.floor.medianUs >= kBatchTargetUs)
        row.note += " The floor alone takes " + FormatUs(row.floor.medianUs) +
                    ": at the speed of a bare round trip on this machine, one synchronous send "
                    "per text cannot fit in 50 ms.";
    report->latency.push_back(row);
}

// One line per target: met, or by how much it was missed.
void Verdicts(BenchReport *report)
{
    for (const LatencyRow &row : report->latency)
        report->findings.push_back(row.what + ": target " + (row.met ? "met" : "MISSED") + " (" +
                                   row.target + "; median " + FormatUs(row.driver.medianUs) +
                                   " against a floor of " + FormatUs(row.floor.medianUs) +
                                   ", p99 " + FormatUs(row.driver.p99Us) + ").");
    for (const ThroughputRow &t : report->throughput) {
        std::string line = "Throughput, " + t.what + ": " +
                           (t.met ? "every command routed in order, none lost"
                                  : "commands were lost or routed out of order");
        if (t.revertives < t.commands)
            line += "; but " + std::to_string(t.commands - t.revertives) +
                    " tally changes never reached VEK (see the note under the table)";
        else if (t.revertives > t.commands)
            line += "; " + std::to_string(t.revertives - t.commands) +
                    " revertives more than commands (see the note under the table)";
        report->findings.push_back(line + ".");
    }
}

std::string Profile(const Options &o, const char *text)
{
    std::string p = text;
    if (o.driverDebug)
        p.replace(p.find("DebugMode=0"), 11, "DebugMode=1");
    return p;
}

bool RunHbx(const Options &o, BenchReport *report)
{
    std::string error;
    if (!StartDriver(7, Profile(o, kHbxProfile), &error) || !WaitHbxReady(kHbxDests, &error)) {
        report->failures.push_back(error);
        return false;
    }
    RouteSamples r;
    bool ok = MeasureRoutes(o.quick ? 100 : 300, o.routes, &r);
    report->latency.push_back(Latency("Route latency: RC (2074) → first byte at the router",
                                      r.route, r.floorRoute));
    report->latency.push_back(Latency("Tally latency: router's CR → RR (2187) at VEK",
                                      r.tally, r.floorTally));
    RouteFindings(r, report);
    SaveSamples(o, "route", r.route);
    SaveSamples(o, "tally", r.tally);
    SaveSamples(o, "floor_route", r.floorRoute);
    SaveSamples(o, "floor_tally", r.floorTally);
    SaveSamples(o, "pty_down", r.ptyDown);
    SaveSamples(o, "pty_up", r.ptyUp);
    SaveSamples(o, "rtt", r.rtt);
    if (!ok)
        report->failures.push_back("route measurement stopped early:\n" + DriverLog());
    report->throughput.push_back(MeasureHbxThroughput(static_cast<uint32_t>(o.commands)));
    int status = StopDriver();
    if (status != 0)
        report->failures.push_back("HBXRCP driver ended with status " + std::to_string(status));
    return ok;
}

bool RunSim(const Options &o, BenchReport *report)
{
    std::string error;
    if (!StartDriver(8, Profile(o, kSimProfile), &error) || !WaitSimReady(kBenchMaxDest, &error)) {
        report->failures.push_back(error);
        return false;
    }
    BatchSamples b;
    bool ok = MeasureBatches(3, o.batches, kBenchMaxDest, &b);
    if (!ok)
        report->failures.push_back("batch report incomplete (texts missing)");
    BatchRow(b, kBenchMaxDest, report);
    SaveSamples(o, "batch", b.driver);
    SaveSamples(o, "floor_batch", b.floor);
    report->throughput.push_back(
        MeasureSimThroughput(static_cast<uint32_t>(o.commands), kBenchMaxDest, kSimSources));
    int status = StopDriver();
    if (status != 0)
        report->failures.push_back("simulated driver ended with status " + std::to_string(status));
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--peer") == 0)
        return PeerMain(argv[2]);
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    Site.selfBin = SelfPath();
    Site.wexBin = o.wex;
    Site.wrap = o.wrap;
    BenchReport report;
    report.quick = o.quick;
    report.loadAtStart = LoadNow();
    std::string error;
    bool ok = SiteCreate(&error);
    if (ok) {
        ok = RunHbx(o, &report);
        ok = RunSim(o, &report) && ok;
    } else {
        report.failures.push_back("site: " + error);
    }
    SiteDestroy(o.keep);
    Verdicts(&report);
    if (o.keep)
        std::fprintf(stderr, "wexbench: kept %s\n", Site.root.c_str());
    if (!WriteReport(report, o.out)) {
        std::fprintf(stderr, "wexbench: cannot write %s\n", o.out.c_str());
        return 1;
    }
    return ok && report.failures.empty() ? 0 : 1;
}
