// Without the Qt view the program always runs headless.
#include "ui/view.h"

#include "platform/loop.h"

#ifndef WEX_HAVE_QT
bool ViewAvailable() { return false; }
void ViewInitialise(int *, char **) {}
int ViewRun() { return LoopRun(); }
#endif
