// The operator window's view (Qt), when it is built and a display exists.
#pragma once

// True when the Qt view is built in and a display is available.
bool ViewAvailable();
void ViewInitialise(int *argc, char **argv);
// Runs the program with the window shown; returns the exit code.
int ViewRun();
