// The dialog's calls into protocols that keep state of their own: the
// NETWORK sweep flag and the BTSESSWITCH link with its retry timer.
#include "protocols/startup.h"

#include "protocols/btsesswitch.h"
#include "protocols/network.h"

void ProtocolDialogStart() { NetworkSweepDone = 0; }
void ProtocolDialogStartLinks() { BtsStartup(); }
void ProtocolDialogRetryTick() { BtsRetryTick(); }
