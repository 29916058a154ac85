// A one-line live status for headless runs (wex --status SECONDS).
#pragma once
#include <string>

// "sweep 12/32 | port 1 Ok err 0 | ... | Tx 00000032 Rx 00000004 | Tx/Rx"
std::string StatusLine();
// Prints StatusLine() on standard output every `seconds` seconds.
void StartStatusLine(int seconds);
