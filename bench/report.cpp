// Statistics and the Markdown report (docs/performance.md is made of it).
#include "bench/bench.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

std::string CpuModel()
{
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("model name", 0) == 0) {
            size_t colon = line.find(':');
            if (colon != std::string::npos)
                return line.substr(line.find_first_not_of(' ', colon + 1));
        }
    }
    return "unknown";
}

std::string Kernel()
{
    utsname u{};
    if (uname(&u) != 0)
        return "unknown";
    return std::string(u.sysname) + " " + u.release + " " + u.machine;
}

std::string Fixed(double v, int decimals)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string Thousands(double v)
{
    std::string digits = std::to_string(static_cast<long long>(std::llround(v)));
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return digits;
}

void WriteMachine(std::ostream &o, const BenchReport &r)
{
    o << "## Machine\n\n"
      << "| | |\n|---|---|\n"
      << "| processors (nproc) | " << sysconf(_SC_NPROCESSORS_ONLN) << " |\n"
      << "| CPU model | " << CpuModel() << " |\n"
      << "| kernel | " << Kernel() << " |\n"
      << "| load average at the start (1, 5, 15 min) | " << r.loadAtStart << " |\n"
      << "| mode | " << (r.quick ? "quick (fewer samples)" : "full") << " |\n\n";
}

void WriteLatency(std::ostream &o, const BenchReport &r)
{
    o << "## Latency\n\n"
      << "| What | Samples | Median | p99 | Floor median | Floor p99 | Ratio (median / floor median) "
         "| Target | Met |\n"
      << "|---|---|---|---|---|---|---|---|---|\n";
    for (const LatencyRow &row : r.latency) {
        double ratio = row.floor.medianUs > 0 ? row.driver.medianUs / row.floor.medianUs : 0;
        o << "| " << row.what << " | " << row.driver.n << " | " << FormatUs(row.driver.medianUs)
          << " | " << FormatUs(row.driver.p99Us) << " | " << FormatUs(row.floor.medianUs) << " | "
          << FormatUs(row.floor.p99Us) << " | " << Fixed(ratio, 2) << " | " << row.target << " | "
          << (row.met ? "yes" : "**no**") << " |\n";
    }
    o << "\n";
    for (const LatencyRow &row : r.latency)
        if (!row.note.empty())
            o << "- " << row.what << ": " << row.note << "\n";
    o << "\n";
}

void WriteThroughput(std::ostream &o, const BenchReport &r)
{
    o << "## Command throughput\n\n"
      << "| What | Commands | Routed, in order | Lost | Revertives | Tables agree | Elapsed "
         "| Commands/s | Floor commands/s | Floor / driver | All routed, none lost |\n"
      << "|---|---|---|---|---|---|---|---|---|---|---|\n";
    for (const ThroughputRow &t : r.throughput) {
        double rate = t.seconds > 0 ? t.commands / t.seconds : 0;
        double floorRate = t.floorSeconds > 0 ? t.commands / t.floorSeconds : 0;
        double lost = static_cast<double>(t.commands) - static_cast<double>(t.routed);
        o << "| " << t.what << " | " << Thousands(t.commands) << " | "
          << Thousands(static_cast<double>(t.routed)) << " | " << Thousands(lost) << " | "
          << Thousands(static_cast<double>(t.revertives)) << " | " << (t.agree ? "yes" : "**no**")
          << " | " << Fixed(t.seconds * 1000, 1) << " ms | " << Thousands(rate) << " | "
          << Thousands(floorRate) << " | " << Fixed(rate > 0 ? floorRate / rate : 0, 2) << " | "
          << (t.met ? "yes" : "**no**") << " |\n";
    }
    o << "\n";
    for (const ThroughputRow &t : r.throughput)
        if (!t.note.empty())
            o << "- " << t.what << ": " << t.note << "\n";
    o << "\n";
}

void WriteComponents(std::ostream &o, const BenchReport &r)
{
    o << "## What the floor is made of\n\n"
      << "| Component | Samples | Median | p99 |\n|---|---|---|---|\n";
    for (const Component &c : r.components)
        o << "| " << c.what << " | " << c.s.n << " | " << FormatUs(c.s.medianUs) << " | "
          << FormatUs(c.s.p99Us) << " |\n";
    o << "\n";
}

}  // namespace

std::string LoadNow()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return in ? one + " " + five + " " + fifteen : "unknown";
}


Summary Summarise(std::vector<int64_t> samples)
{
    Summary s;
    s.n = samples.size();
    if (samples.empty())
        return s;
    std::sort(samples.begin(), samples.end());
    auto rank = [&](double q) {
        size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(samples.size())));
        return samples[std::clamp<size_t>(i, 1, samples.size()) - 1] / 1000.0;
    };
    s.medianUs = rank(0.5);
    s.p99Us = rank(0.99);
    s.maxUs = samples.back() / 1000.0;
    return s;
}

std::string FormatUs(double us)
{
    if (us >= 1000)
        return Fixed(us / 1000, 2) + " ms";
    return Fixed(us, 1) + " µs";
}

bool WriteReport(const BenchReport &r, const std::string &path)
{
    std::ostringstream o;
    WriteMachine(o, r);
    WriteLatency(o, r);
    WriteThroughput(o, r);
    WriteComponents(o, r);
    o << "## Findings\n\n";
    for (const std::string &f : r.findings)
        o << "- " << f << "\n";
    for (const std::string &f : r.failures)
        o << "- FAILED: " << f << "\n";
    o << "\n";
    if (path.empty() || path == "-") {
        std::fputs(o.str().c_str(), stdout);
        return true;
    }
    std::ofstream out(path);
    out << o.str();
    return static_cast<bool>(out);
}
