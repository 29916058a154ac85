#include "fuzz/common.h"

#include <stdlib.h>

#include <cstdio>
#include <string>

#include "config/profile.h"
#include "link/attach.h"
#include "link/commands.h"
#include "link/revertive.h"
#include "platform/bus.h"
#include "platform/debug.h"
#include "platform/dialog.h"
#include "platform/loop.h"
#include "platform/root.h"
#include "protocols/protocol.h"
#include "routing/tables.h"
#include "serial/ports.h"
#include "shell/shell.h"
#include "tests/support/modules.h"
#include "ui/maindlg.h"

namespace {
void Quiet(const char *) {}
void QuietBox(HWND, const char *, const char *) {}
}  // namespace

void FuzzSetUpDevice()
{
    // Memory-backed when possible: the profile loader writes back (and
    // flushes) every missing key, which on a disk would dominate each run.
    static char shm[] = "/dev/shm/wexfuzz.XXXXXX";
    static char tmp[] = "/tmp/wexfuzz.XXXXXX";
    static bool made = false;
    if (!made) {
        const char *root = mkdtemp(shm);
        if (!root)
            root = mkdtemp(tmp);
        made = root != nullptr;
        SetRootDirectory(root);
        SetDebugSink(Quiet);
        SetMessageBoxHook(QuietBox);
    }
    ResetDriverState();
    Shell.DriverId = 7;
    Link.TxRxMode = 2;
    Profile.DebugMode = 1;
    Profile.DatabaseSize_0 = 64;
    Profile.DatabaseSize_1 = 64;
    Profile.SourceToDest = 1;
    Profile.ReAssert = 1;
    Profile.RevertiveMode = 1;
    Profile.CommErrorLimit = 5;
    Profile.HBXRCP_Levels = 2;
    Profile.SonyAddress = 1;
    Profile.LeitchLevel = 1;
    Profile.NetworkRouterType = 0xA0;
    Profile.AdrienneAddressDigits[0] = '0';
    Profile.AdrienneAddressDigits[1] = '7';
    std::snprintf(Profile.QuartzLevels, sizeof Profile.QuartzLevels, "VAB");
    for (int p = 1; p <= 2; ++p) {
        Profile.Ports[p].Port = p;
        Profile.Ports[p].MinDest = p == 1 ? 1 : 33;
        Profile.Ports[p].MaxDest = p == 1 ? 32 : 64;
        Profile.Ports[p].Speed = 9600;
        Ports.InUse[p] = 1;
        Ports.CommIndex[p] = -1;
        Proto.NextPoll[p] = Profile.Ports[p].MinDest;
    }
    for (auto &w : Commands.WorkstationAccess)
        w = 1;
    Commands.CommandsEnabled = 1;
}

bool FuzzJoinBus(char *rootTemplate)
{
    if (!mkdtemp(rootTemplate))
        return false;
    SetRootDirectory(rootTemplate);
    std::string error;
    return BusOpen(&error);
}
