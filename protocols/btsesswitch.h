// The BTSESSWITCH link start-up, which the main dialog starts and retries.
#pragma once

// Sends the start-up request on every BTSESSWITCH port in use and starts
// timer 5 of the main dialog (10 s); call it when the dialog is set up.
void BtsStartup();
// Timer 5 of the main dialog: stops the timer once the router has sent a
// tally report, otherwise repeats the start-up request.
void BtsRetryTick();
