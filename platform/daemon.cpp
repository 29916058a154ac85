#include "platform/daemon.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#ifdef WEX_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

// -1 not yet looked at, 0 no, 1 yes: learnt once, the environment of a
// service does not change while it runs.
int JournalStream = -1;

// JOURNAL_STREAM is "device:inode" of the stream systemd connected; it is
// inherited by children whose standard error may point elsewhere, so it
// counts only when fd 2 is still that very stream.
bool StderrIsJournal()
{
    const char *env = std::getenv("JOURNAL_STREAM");
    if (!env || !*env)
        return false;
    unsigned long long device = 0, inode = 0;
    char rest = 0;
    if (std::sscanf(env, "%llu:%llu%c", &device, &inode, &rest) != 2)
        return false;
    struct stat st;
    if (fstat(2, &st) != 0)
        return false;
    return static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
}

}  // namespace

bool DaemonNotify(const char *state)
{
#ifdef WEX_HAVE_SYSTEMD
    return state && sd_notify(0, state) > 0;
#else
    (void)state;
    return false;
#endif
}

bool DaemonNotifying()
{
#ifdef WEX_HAVE_SYSTEMD
    const char *env = std::getenv("NOTIFY_SOCKET");
    return env && *env;
#else
    return false;
#endif
}

uint32_t DaemonWatchdogIntervalMs()
{
#ifdef WEX_HAVE_SYSTEMD
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return 0;
    uint64_t ms = usec / 2000u;  // half the period, as sd_watchdog_enabled(3) advises
    if (ms == 0)
        return 1;
    return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
#else
    return 0;
#endif
}

const char *JournalPrefix(int priority)
{
    static const char *const kPrefix[8] = {"<0>", "<1>", "<2>", "<3>", "<4>", "<5>", "<6>", "<7>"};
    if (JournalStream < 0)
        JournalStream = StderrIsJournal() ? 1 : 0;
    if (JournalStream == 0 || priority < 0 || priority > 7)
        return "";
    return kPrefix[priority];
}

void DaemonReset() { JournalStream = -1; }
