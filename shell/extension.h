// The driver's extension messages: what the operator's client `wexctl`
// reads from a running driver (its identity and counters, the port table as
// the window shows it, the tallies with their locks, the journal of the
// revertives sent) and its one command message.  The numbers lie outside the control system's (2000 to 2999,
// 49155, 49164, 49165) and outside the platform's own; docs/bus.md gives
// the texts.
#pragma once
#include "platform/winapi.h"

enum : UINT {
    kWexInfo = 31240,     // block: filled with the info line; result: DriverId
    kWexPorts = 31241,    // block: one line per port 1..8; result: 8
    kWexTallies = 31242,  // wParam: first destination; block: "dest source lock" lines;
                          // result: how many lines
    kWexCommand = 31243,  // block: an RC or RL text, run as the control system's
    kWexRevertives = 31244,  // wParam: the last sequence number seen; block: "seq dest
                             // source" lines after it; result: the newest sequence number
};

// Results of kWexCommand.
enum : int {
    kWexCommandRun = 1,          // handed to the command interpreter
    kWexCommandRefused = 0,      // came from the control system's direction
    kWexCommandNotAllowed = -1,  // not a route (RC) or lock (RL) text
    kWexCommandInhibited = -2,   // the driver does not take commands yet
};

// Revertives kept for kWexRevertives: the newest ones, by sequence number.
constexpr uint32_t kRevertiveJournalSize = 4096;

bool IsExtensionMessage(UINT message);
// Handles one extension message (0 for any other message).
LRESULT ExtensionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Empties the revertive journal (tests).
void ExtensionReset();
