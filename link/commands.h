// The command interpreter: RC, RF, RL, RP, RQ from the control system and
// the keyboard panel, the workstation gate and the forward buffer.
#pragma once
#include <cstdint>

constexpr int kWorkstations = 1001;

struct CommandState {
    int32_t CommandsEnabled = 0;
    uint32_t CommandCounter = 0;
    uint8_t WorkstationAccess[kWorkstations] = {};
    char ForwardBuffer[32][64] = {};
    int ForwardWrite = 0;
    int ForwardRead = 0;
};
extern CommandState Commands;

void AllowWorkstation(int32_t n);
void ReceiveCommand(const char *text);
void InterpretCommand(const char *text);
void RouteCommand(const char *text);
void RouteFromExternal(int32_t destination, int32_t source);
void StartForwardBuffer();
void QueueCommand(const char *text);
void DrainForwardBuffer();
void CommandsReset();
