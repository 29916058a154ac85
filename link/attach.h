// Attach to VEK, registration, the link mode Tx/Rx or Rx Only.
#pragma once
#include "platform/winapi.h"
#include <cstdint>

struct LinkState {
    HWND VekWindow = 0;
    int32_t WorkStation = -1;
    int32_t TxRxMode = 0;  // 0 none, 1 Rx Only, 2 Tx/Rx, 3 shown as Tx/Rx
};
extern LinkState Link;

int AttachToVek();
int RegisterDevice();
void DeregisterDevice();
void ShowTxRxMode(int32_t mode);
int32_t SetTxRxMode(int32_t mode);
int AllPortsHealthy();
// Messages 2179, 2180, 2181, 2190 of the main window.
LRESULT HandleLinkMessage(UINT message, WPARAM wParam, LPARAM lParam);
void LinkReset();
