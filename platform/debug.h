// Diagnostic output and the field splitter for control-system texts.
#pragma once
#include <cstddef>
#include <cstdint>

// "<WE>-text" on the debugger channel (standard error), only with DebugMode on.
void DebugPrint(const char *text);
// The same line whatever DebugMode says (a few protocols always trace).
void DebugPrintAlways(const char *text);
// printf-style DebugPrint, formatted into the same bounded line.
void DebugPrintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
// A rule, 16 bytes a line in hexadecimal, a rule; through DebugPrint.
void HexDump(const uint8_t *bytes, size_t length);
// "%03d WEX %d - %s " event line; always written to standard error.
void LogEvent(const char *text, int level);
// The journal priority of an event text: "Comms fail" at warning the first
// time after a change of its port, repeats at info; "Link lost" at warning;
// "Comms ok", "Link restored", "WEX running/closing" at notice; else info.
int EventPriority(const char *text);
// Forgets which ports have had their "Comms fail" warning (tests).
void ResetEventPriorities();

// The shared field store of SplitFields: six slots, text and number.
constexpr int kFieldSlots = 6;
constexpr size_t kFieldTextSize = 255;
extern char FieldText[kFieldSlots][kFieldTextSize];
extern int32_t FieldValue[kFieldSlots];
// Splits a control-system text from index 3 into up to maxFields fields.
void SplitFields(const char *message, int maxFields);
// Decimal reading: blanks, optional sign, digits; no digits gives 0.
// Wraps at 32 bits, as the field store's documented reading does.
int32_t ReadNumber(const char *text);
// The same reading for a number that a range check follows: one that does
// not fit 32 bits stays at INT32_MAX (INT32_MIN with a minus sign) instead
// of wrapping, so the check refuses it.
int32_t ReadCheckedNumber(const char *text);
// FieldText[slot] read by ReadCheckedNumber: for fields that are range-checked.
int32_t FieldNumber(int slot);
// SplitFields for a command text: a text shorter than three characters
// would leave the store as the previous message left it, and so replay that
// message's numbers; its first maxFields fields read as missing instead.
void SplitCommandFields(const char *text, int maxFields);

// Where debug and event lines go (tests capture them); null restores stderr.
using DebugSink = void (*)(const char *line);
void SetDebugSink(DebugSink sink);
// Where DebugPrint reads whether debugging is on: the profile's DebugMode,
// registered at start-up (ConnectLayers).  Without one DebugPrint is silent.
void SetDebugModeSource(const int32_t *flag);
