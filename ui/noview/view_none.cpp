// Without the Qt view the program always runs headless.
#include "ui/view.h"

#include "platform/loop.h"

bool ViewAvailable() { return false; }
void ViewInitialise(int *, char **) {}
void ViewStart() {}
int ViewRun() { return LoopRun(); }
