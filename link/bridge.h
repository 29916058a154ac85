// The WM_COPYDATA message bridge to attached programs.
#pragma once
#include "platform/winapi.h"
#include <cstdint>

constexpr UINT kBridgeReply = 2984;
constexpr uint32_t kBridgeTextSize = 513;

// data: a text buffer of at least 513 bytes (isText 1) or the number itself.
int32_t BridgeSend(HWND ownWindow, HWND targetWindow, UINT code, WPARAM wParam, uintptr_t data,
                   int capacity, int isText);
void BridgeReceive(HWND ownWindow, HWND senderWindow, COPYDATASTRUCT *copyData);
void BridgeReset();
