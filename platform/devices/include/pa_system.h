// Shell commands with effects on the whole system. Built for the module, they run; otherwise the
// request is logged and recorded so a development machine is never rebooted.
#pragma once

#include "le_basics.h"

// Result of the command (0 for a recorded one).
int pa_system_Run(const char* command);
unsigned pa_system_GetRunCount(const char* command);
