#include "link/commands.h"
// STUB
CommandState Commands;
void AllowWorkstation(int32_t) {}
void ReceiveCommand(const char *) {}
void InterpretCommand(const char *) {}
void RouteCommand(const char *) {}
void RouteFromExternal(int32_t, int32_t) {}
void StartForwardBuffer() {}
void QueueCommand(const char *) {}
void DrainForwardBuffer() {}
void CommandsReset() { Commands = CommandState{}; }
