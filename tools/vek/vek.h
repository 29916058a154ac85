// vek: the stand-in for the control system's interface program VEK.  It
// joins the bus with one window, answers the driver's attach, workstation
// and registration messages, serves name requests, records every message it
// receives, and passes control-system commands typed at it to a driver.
#pragma once
#include "platform/winapi.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct VekState {
    HWND Window = 0;
    int32_t WorkStation = 1;              // the answer to 2119
    bool DriverMode = true;               // off: every registration gets 3
    std::map<int32_t, HWND> Drivers;      // registered Id -> the driver's main window
    // Names by driver Id (0: for every Id), database 0 sources, 1 destinations;
    // entry i-1 is the name of index i.
    std::map<int32_t, std::vector<std::string>> Names[2];
};
extern VekState Vek;

// The window procedure of VEK's window.
LRESULT VekWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Reads a name file given as "[ID=]FILE" for database db; false with a reason.
bool VekLoadNames(const char *argument, int db, std::string *error);
// The name of entry index of database db of driver id, as VEK serves it.
std::string VekName(int32_t id, int db, int index);
// Carries out one control line ("cmd 7 RC 7 5 12 ',---' 0", "msg 7 2733 5", ...).
void VekCommand(const std::string &line);
