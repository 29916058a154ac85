// The Qt view's own entry points, for tests that link the view into their
// program instead of loading the module (the driver uses ui/view.h).
#pragma once

bool ViewInitialise(int *argc, char **argv);
// Shows the window and hooks the driver's loop onto Qt's; the caller then
// processes Qt's events itself.
void ViewStart();
// ViewStart, then Qt's event loop until the driver quits; returns 0.
int ViewRun();
