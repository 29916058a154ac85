// The driver's modules as the in-process tests set them up: every module
// back to its start, the small HBXRCP device several tests drive, and the
// debug line as the channel gives it.
#pragma once
#include <string>

// The driver's own state back to its start: profile, tables, ports,
// protocols, link, commands, revertives and shell.  Windows and the loop
// are kept (the fuzzers keep theirs from one input to the next).
void ResetDriverState();

// Every module back to the state it starts in: the driver's state as above,
// the extension, the state files, the window model, the main dialog and the
// message loop (its windows forgotten).  Hooks and sinks the test set stay
// as they are.
void ResetModules();

// A device of 16 sources and 32 destinations on one HBXRCP level; with a
// port (1..8), that port in use speaking HBXRCP to destinations 1..32.
void UseHbxrcp16x32(int port = 0);

// A debug line without its "<WE>-" mark and the line end the channel adds.
std::string DebugText(const char *line);
