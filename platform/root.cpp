#include "platform/root.h"

#include <cstdlib>

namespace {
std::string Root = "/var/lib/zolt";
}

void SetRootDirectory(const char *dirOrNull)
{
    if (dirOrNull && *dirOrNull)
        Root = dirOrNull;
    else if (const char *env = std::getenv("ZOLT_ROOT"); env && *env)
        Root = env;
    else
        Root = "/var/lib/zolt";
    while (Root.size() > 1 && Root.back() == '/')
        Root.pop_back();
}

const std::string &RootDirectory() { return Root; }
std::string WindowsDirectory() { return Root; }
std::string PathsFile() { return Root + "/zolt_config.ini"; }
std::string WorkstationFile() { return Root + "/KALDERA.INI"; }

std::string BusDirectory()
{
    if (const char *env = std::getenv("ZOLT_BUS"); env && *env)
        return env;
    return Root + "/bus";
}
