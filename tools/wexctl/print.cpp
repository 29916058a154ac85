// wexctl's output: the port table and the tallies as text or JSON, and the
// watch, which reads the driver five times a second and prints every
// revertive it sent meanwhile and whatever else changed.
#include "tools/wexctl/wexctl.h"

#include <signal.h>
#include <time.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "shell/extension.h"

using nlohmann::json;

bool JsonOutput = false;

namespace {

volatile sig_atomic_t Stop = 0;

void OnSignal(int) { Stop = 1; }

const char *const kNumberKeys[] = {"id", "mode", "revertives", "commands", "enabled",
                                   "sources", "dests", "simulation", "com", "inuse",
                                   "commsfail", "noreply", "errorcount"};

// A record as JSON: its counters as numbers, what the window shows as texts.
json RecordJson(const Record &r)
{
    json j = json::object();
    for (const auto &[key, value] : r)
        j[key] = value;
    for (const char *key : kNumberKeys)
        if (r.count(key))
            j[key] = NumberOf(r, key);
    return j;
}

json NameJson(const std::string &name)
{
    return name.empty() ? json(nullptr) : json(name);
}

json TallyJson(const Driver &d, const Tally &t)
{
    return {{"dest", t.dest},
            {"dest_name", NameJson(Name(d, 1, t.dest))},
            {"source", t.source},
            {"source_name", NameJson(Name(d, 0, t.source))},
            {"locked", t.locked}};
}

std::string Field(const Record &r, const char *key)
{
    auto it = r.find(key);
    return it == r.end() ? "" : it->second;
}

void PrintLine(const std::string &line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string TallyText(const Driver &d, const Tally &t)
{
    char text[160];
    std::snprintf(text, sizeof text, "%5d  %-16s %6d  %-16s %s", t.dest,
                  Name(d, 1, t.dest).c_str(), t.source, Name(d, 0, t.source).c_str(),
                  t.locked ? "locked" : "-");
    return text;
}

std::string PortText(const Record &p)
{
    char text[160];
    std::snprintf(text, sizeof text, "%3s  %4s  %-7s %5s  %5s  %5s  %6s  %-11s %s",
                  Field(p, "com").c_str(), Field(p, "port").c_str(), Field(p, "status").c_str(),
                  Field(p, "min").c_str(), Field(p, "max").c_str(), Field(p, "tally").c_str(),
                  Field(p, "errors").c_str(), Field(p, "protocol").c_str(),
                  Field(p, "noreply").c_str());
    return text;
}

std::string Clock()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, now.tv_nsec / 1000000);
    return text;
}

void Event(json j, const std::string &text)
{
    if (JsonOutput) {
        j["time"] = Clock();
        PrintLine(j.dump());
    } else {
        PrintLine(Clock() + "  " + text);
    }
}

const char *const kModeKeys[] = {"interface", "driver", "control", "keyboard"};

void CompareInfo(const Record &was, const Record &now)
{
    for (const char *key : kModeKeys)
        if (Field(was, key) != Field(now, key))
            Event({{"event", "mode"}, {"what", key}, {"value", Field(now, key)}},
                  std::string(key) + " " + Field(now, key));
}

void ComparePorts(const std::vector<Record> &was, const std::vector<Record> &now)
{
    for (size_t i = 0; i < now.size() && i < was.size(); ++i) {
        Record a = was[i], b = now[i];
        a.erase("tally");  // the poll position moves all the time
        b.erase("tally");
        if (a != b) {
            json j = RecordJson(now[i]);
            j["event"] = "port";
            Event(j, "port " + PortText(now[i]));
        }
    }
}

// Each revertive the driver sent; returns the destinations they reported
// last, with that source.
std::map<int32_t, int32_t> ShowRevertives(const Driver &d, uint32_t *seq)
{
    std::vector<Revertive> revertives;
    uint32_t missed = 0;
    std::map<int32_t, int32_t> reported;
    if (!ReadRevertives(d, seq, &revertives, &missed))
        return reported;
    if (missed)
        Event({{"event", "missed"}, {"revertives", missed}},
              std::to_string(missed) + " revertives not shown (the driver keeps the last " +
                  std::to_string(kRevertiveJournalSize) + ")");
    for (const Revertive &r : revertives) {
        Tally t{r.dest, r.source, false};
        json j = TallyJson(d, t);
        j.erase("locked");
        j["event"] = "revertive";
        j["seq"] = r.seq;
        char text[160];
        std::snprintf(text, sizeof text, "%5d  %-16s %6d  %s", r.dest, Name(d, 1, r.dest).c_str(),
                      r.source, Name(d, 0, r.source).c_str());
        Event(j, std::string("revertive ") + text);
        reported[r.dest] = r.source;
    }
    return reported;
}

// Tally and lock changes that no revertive told (locks, Rx Only).
void CompareTallies(const Driver &d, const std::vector<Tally> &was, const std::vector<Tally> &now,
                    const std::map<int32_t, int32_t> &reported)
{
    for (size_t i = 0; i < now.size(); ++i) {
        if (i < was.size() && was[i].source == now[i].source && was[i].locked == now[i].locked)
            continue;
        auto it = reported.find(now[i].dest);
        if (i < was.size() && was[i].locked == now[i].locked && it != reported.end() &&
            it->second == now[i].source)
            continue;
        json j = TallyJson(d, now[i]);
        j["event"] = "tally";
        Event(j, "tally " + TallyText(d, now[i]));
    }
}

bool ReadAll(Driver *d, std::vector<Record> *ports, std::vector<Tally> *tallies)
{
    return ReadInfo(d) && ReadPorts(*d, ports) &&
           ReadTallies(*d, 1, NumberOf(d->info, "dests"), tallies);
}

}  // namespace

void PrintPorts(const Driver &d, const std::vector<Record> &ports)
{
    if (JsonOutput) {
        json j = RecordJson(d.info);
        j["ports"] = json::array();
        for (const Record &p : ports)
            j["ports"].push_back(RecordJson(p));
        PrintLine(j.dump(2));
        return;
    }
    const Record &i = d.info;
    std::printf("WEX_%03d  version %s  %s sources, %s destinations  %s%s\n", d.id,
                Field(i, "version").c_str(), Field(i, "sources").c_str(),
                Field(i, "dests").c_str(), Field(i, "drivermode").c_str(),
                NumberOf(i, "simulation") ? " (simulation)" : "");
    std::printf("Interface %s  Driver %s  Control %s  Keyboard %s\n",
                Field(i, "interface").c_str(), Field(i, "driver").c_str(),
                Field(i, "control").c_str(), Field(i, "keyboard").c_str());
    std::printf("VEK messages  Tx %s  Rx %s\n\n", Field(i, "tx").c_str(), Field(i, "rx").c_str());
    PrintLine("Com  Port  Status    Min    Max  Tally  Errors  Protocol    No-reply");
    for (const Record &p : ports)
        PrintLine(PortText(p));
}

void PrintTallies(const Driver &d, const std::vector<Tally> &tallies)
{
    if (JsonOutput) {
        json j = {{"id", d.id}, {"tallies", json::array()}};
        for (const Tally &t : tallies)
            j["tallies"].push_back(TallyJson(d, t));
        PrintLine(j.dump(2));
        return;
    }
    PrintLine(" Dest  Name             Source  Name             Lock");
    for (const Tally &t : tallies)
        PrintLine(TallyText(d, t));
}

int Watch(Driver *d)
{
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::vector<Record> ports, newPorts;
    std::vector<Tally> tallies, newTallies;
    if (!ReadAll(d, &ports, &tallies))
        return 1;
    Record info = d->info;
    uint32_t seq = NewestRevertive(*d);
    Event({{"event", "watching"}, {"id", d->id}},
          "watching WEX_" + std::to_string(d->id) + " (Ctrl-C ends)");
    while (!Stop) {
        timespec period{0, 200 * 1000 * 1000};
        nanosleep(&period, nullptr);
        if (Stop)
            break;
        // The journal first: a revertive and the tally it reports then
        // show in the same round.
        std::map<int32_t, int32_t> reported = ShowRevertives(*d, &seq);
        if (!ReadAll(d, &newPorts, &newTallies)) {
            std::fprintf(stderr, "wexctl: driver %d stopped answering\n", d->id);
            return 1;
        }
        CompareInfo(info, d->info);
        ComparePorts(ports, newPorts);
        CompareTallies(*d, tallies, newTallies, reported);
        info = d->info;
        ports.swap(newPorts);
        tallies.swap(newTallies);
    }
    return 0;
}
