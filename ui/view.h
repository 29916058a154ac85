// The operator window's view.  It lives in a module of its own (wexview.so,
// built with Qt) that the driver loads only when it will show a window, so a
// headless run maps no Qt library at all.
#pragma once
#include <string>

// What the module offers; its entry point "WexViewModule" returns it.
struct ViewModule {
    int version;  // kViewModuleVersion of the module's build
    // Creates the application; false when the display cannot be used after all.
    bool (*initialise)(int *argc, char **argv);
    // Shows the window, hooks the driver's loop onto Qt's and runs Qt's
    // event loop until the driver quits; returns 0.
    int (*run)();
};
constexpr int kViewModuleVersion = 1;
using ViewModuleEntry = const ViewModule *(*)();

// True when a display can be reached: a platform named in QT_QPA_PLATFORM
// that needs no server, a Wayland socket, or an X server that accepts a
// connection.  Otherwise *why says what is missing.
bool DisplayReachable(std::string *why);
// Loads the module found next to the program or in its library directory.
// Returns null with *why set when it is missing or unusable.
const ViewModule *ViewLoad(std::string *why);
