#include "platform/shellstate.h"

ShellState Shell;
