// Native GPIO outputs "addon/output1" to "addon/output4" on the module pins 42, 33, 13 and 8.
#pragma once

#include "legato.h"

// Outputs 1 and 2.
void Init1_O(void);
// Outputs 3 and 4.
void Init2_O(void);
// Push handler of the outputs; the context is the output's record.
void HandleGPIOPush(double timestamp, bool value, void* contextPtr);
