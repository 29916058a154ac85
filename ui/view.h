// The operator window's view (Qt), when it is built and a display exists.
#pragma once

// True when the Qt view is built in and a display is available.
bool ViewAvailable();
void ViewInitialise(int *argc, char **argv);
// Shows the window and hooks the driver's loop onto Qt's (tests call this
// and then process Qt events themselves).
void ViewStart();
// ViewStart, then Qt's event loop until the driver quits; returns 0.
int ViewRun();
