// The service manager and the journal: readiness, status and watchdog
// notices through sd_notify, and the journal's priority prefixes.
//
// Built without libsystemd every notice is a no-op.  Outside a service
// (no NOTIFY_SOCKET, standard error not the journal) nothing changes either.
#pragma once
#include <cstdint>

// Syslog priorities, as the journal reads them from a "<n>" line prefix.
enum : int {
    kLogError = 3,
    kLogWarning = 4,
    kLogNotice = 5,
    kLogInfo = 6,
    kLogDebug = 7,
};

// Sends one notice (e.g. "READY=1\nSTATUS=..."); false when not sent.
bool DaemonNotify(const char *state);
// True when a service manager listens (NOTIFY_SOCKET is set and usable).
bool DaemonNotifying();
// Half the watchdog period the manager asked for, in ms; 0: no watchdog.
uint32_t DaemonWatchdogIntervalMs();
// "<n>" when standard error is the journal (JOURNAL_STREAM names fd 2), else "".
const char *JournalPrefix(int priority);
// Forgets what was learnt from the environment (tests change it).
void DaemonReset();
