// Attach to VEK, registration, the link mode Tx/Rx or Rx Only.
#pragma once
#include "platform/winapi.h"
#include <cstdint>

struct LinkState {
    HWND VekWindow = 0;
    int32_t WorkStation = -1;
    int32_t TxRxMode = 0;  // 0 none, 1 Rx Only, 2 Tx/Rx, 3 shown as Tx/Rx
    bool FindingVek = false;        // the attach broadcast is under way: 2032 is taken
    unsigned ForwardsUnderWay = 0;  // link messages waiting on the external driver, a bit each
};
extern LinkState Link;

// Broadcasts 2031 and asks the VEK that answered (2032) for the workstation.
// Returns 1 when VEK was found; 0 after the "Cannot find" message box.  It
// does not shut down: the caller abandons start-up (AbandonStartup), which
// runs ShutdownDriver.
int AttachToVek();
// Registers DriverId with VEK (2193) and sets TxRxMode.  Returns 1 when
// accepted; 0 after the refusal's message box, again leaving the shutdown to
// the caller (AbandonStartup).
int RegisterDevice();
// Tells VEK the driver is going (2186); step 2 of ShutdownDriver.
void DeregisterDevice();
// The Interface button and the main window title for a mode (5 shows nothing).
void ShowTxRxMode(int32_t mode);
// Shows mode, tells VEK (2215) and keeps it unless it is 5; returns the mode in force.
int32_t SetTxRxMode(int32_t mode);
// 1 unless a port selected by GoRxOnlyOnComFail is in the comms-fail state.
int AllPortsHealthy();
// Messages 2032, 2119, 2179, 2180, 2181, 2190, 2732 and 2733 of the main
// window; returns the message's result (0 for any other message).  2032 is
// taken only as the answer to our attach broadcast, and only with another
// program's window.  A message forwarded to the external driver that comes
// back while its forward waits is answered as if none were attached.
LRESULT HandleLinkMessage(UINT message, WPARAM wParam, LPARAM lParam);
void LinkReset();
