// The command interpreter: RC, RF, RL, RP, RQ from the control system and
// the keyboard panel, the workstation gate and the forward buffer.
#pragma once
#include <cstdint>

#include "config/paths.h"


struct CommandState {
    int32_t CommandsEnabled = 0;
    uint32_t CommandCounter = 0;
    uint8_t WorkstationAccess[kWorkstations] = {};
    char ForwardBuffer[32][64] = {};
    int ForwardWrite = 0;
    int ForwardRead = 0;
};
extern CommandState Commands;

// Lets workstation n (1..999 only) command this driver.
// A command from the control system or the keyboard panel: counted, shown,
// queued (routes, when FwdBuffDelay is set) or interpreted at once.
void ReceiveCommand(const char *text);
// Recognises one command (R or X, then C, F, L, P or Q) and runs it.
void InterpretCommand(const char *text);
// An RC command without virtual sources: gate, both route directions, panel refresh.
void RouteCommand(const char *text);
// Message 2736 in INTERNAL mode: an attached program asks for a route.
void RouteFromExternal(int32_t destination, int32_t source);
// Empties the forward buffer and starts its pacing timer (4) on the main
// dialog; with no dialog there is no timer and nothing drains by itself.
void StartForwardBuffer();
// Puts a command (63 characters at most) into the next slot, overwriting it.
void QueueCommand(const char *text);
// One tick of timer 4: runs the next waiting command, at most one.
void DrainForwardBuffer();
void CommandsReset();
// Where a route the commands decided on goes to the router: the protocols'
// RouteDispatch, registered at start-up (ConnectLayers); none drops it.
using RouteDispatcher = void (*)(int32_t source, int32_t dest);
void SetRouteDispatcher(RouteDispatcher dispatcher);
