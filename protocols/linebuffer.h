// The cyclic line buffer of the text protocols (HBXRCP, VISTEK, NTPEQ,
// BTSASCII): bytes 0..255 of the port's receive buffer, the receive count
// where the next byte goes.  A line runs from its lead character (a full
// stop, or "Z") to a carriage return; bytes before the lead are noise.
#pragma once
#include <cstdint>

constexpr int kLineMax = 256;

// Stores one received byte; true when it was the carriage return.
bool LineStore(int port, uint8_t byte);
// Copies the line from the first `lead` in bytes 0..254 (wrapping after
// 255) up to and including the carriage return into line (kLineMax + 1
// bytes) and terminates it; the length, or -1 when no lead is there.
int LineTake(int port, char lead, char *line);
// A line was handled: empties the buffer and clears the no-reply count.
void LineDone(int port);
// Reads an optionally signed decimal after blanks, as "%d" would; values
// out of range saturate so that they fail the range checks.  Returns the
// index after the number, or -1 when there is no number.
int ReadLineDecimal(const char *text, int at, int32_t *value);
