// STUB hooks until the link-keeping protocols land.
#include "protocols/startup.h"
void ProtocolDialogStart() {}
void ProtocolDialogStartLinks() {}
void ProtocolDialogRetryTick() {}
