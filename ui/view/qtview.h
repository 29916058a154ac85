// The Qt view's own entry points, for tests that link the view into their
// program instead of loading the module (the driver uses ui/view.h).
#pragma once

bool ViewInitialise(int *argc, char **argv);
void ViewStart();
int ViewRun();
