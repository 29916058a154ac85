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
// The handler of one unpacked bridge request, told explicitly whether lParam
// is the request's 513-byte text (isText) or a number.
using BridgeHandler = LRESULT (*)(HWND ownWindow, UINT code, WPARAM wParam, LPARAM lParam,
                                  bool isText);
// BridgeReceive with the request handed to `handler` instead of being sent
// to ownWindow; a program that must not guess the context uses this.
void BridgeReceiveWith(HWND ownWindow, HWND senderWindow, COPYDATASTRUCT *copyData,
                       BridgeHandler handler);
// True while the bridge is delivering a request of this code and lParam to
// a window procedure, so that a handler can tell a message that came
// through the bridge from one sent to it directly; *isText then tells
// whether lParam is the request's 513-byte text or a number.
bool BridgeDelivering(UINT code, LPARAM lParam, bool *isText = nullptr);
void BridgeReset();
