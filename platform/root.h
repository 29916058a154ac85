// The root directory that stands for the Windows directory, and the fixed
// files that live in it.
#pragma once
#include <string>

// Chooses the root: the given directory, else $ZOLT_ROOT, else /var/lib/zolt.
void SetRootDirectory(const char *dirOrNull);
const std::string &RootDirectory();
// The "Windows directory": the root itself.
std::string WindowsDirectory();
// <root>/zolt_config.ini, the site-wide paths file.
std::string PathsFile();
// <root>/KALDERA.INI, the workstation settings file.
std::string WorkstationFile();
// The bus directory: $ZOLT_BUS, else <root>/bus.
std::string BusDirectory();
