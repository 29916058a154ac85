// STUB: the simulator's main loop is built with the first protocol.
#include "sim.h"
#include <cstdarg>
#include <cstdio>
void SimSend(SimRouter &, const void *, size_t) {}
void SimSendText(SimRouter &r, const std::string &t) { SimSend(r, t.data(), t.size()); }
void SimLog(const char *format, ...) { va_list ap; va_start(ap, format); std::vfprintf(stdout, format, ap); va_end(ap); std::fputc('\n', stdout); }
std::string SimOption(const SimRouter &, const char *) { return ""; }
int main() { return 1; }
