// The program-wide state of the driver: its Id, its windows and the
// attachments every layer reads.  The shell fills it at start-up; it lives
// here, at the bottom, so that any layer may read it without knowing the
// shell.
#pragma once
#include "platform/winapi.h"
#include <cstdint>

constexpr const char *kVersionText = "3.06.09";

struct ShellState {
    int32_t DriverId = 0;
    HWND MainWindow = 0;
    HWND ExternalDriverWindow = 0;  // a program that took over routing; 0 none
    HWND ControlWindow = 0;         // a program that takes our commands; 0 none
    int32_t KeyboardEnabled = 0;
    uint16_t NoticeDatabase = 0;    // last database-change notice (2174)
    uint16_t NoticeIndex = 0;
    bool TablesLoaded = false;      // state files read in this run: saves allowed
    bool ShuttingDown = false;
    int ExitCode = 0;               // non-zero when start-up was abandoned
};
extern ShellState Shell;
