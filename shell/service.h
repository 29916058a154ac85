// The driver under a service manager: readiness, the status line and the
// watchdog keep-alive.  Nothing happens unless a manager listens.
#pragma once

// When the manager asked for a watchdog, sends WATCHDOG=1 from a timer of
// the main loop at half its period: a loop that stalls stops the keep-alive.
void ServiceStartWatchdog();
// READY=1 with the status line, once start-up is complete (registered, ports
// open); from then on the status line whenever it changes, at most once a second.
void ServiceReady();
// STOPPING=1: the shutdown has begun.
void ServiceStopping();
// Drops the timers' window and the last status sent (tests).
void ServiceReset();
