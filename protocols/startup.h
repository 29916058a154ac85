// What the main dialog asks of the protocols when it starts and on its
// link-retry timer (timer 5): protocols that keep a link or a sweep state
// of their own hook in here.
#pragma once

// Dialog initialisation, before polling starts: clears per-run protocol flags.
void ProtocolDialogStart();
// Dialog initialisation, last step: starts protocol links that need it.
void ProtocolDialogStartLinks();
// Timer 5 of the dialog.
void ProtocolDialogRetryTick();
