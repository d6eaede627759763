// Native GPIO inputs "addon/input1" to "addon/input4" on the module pins 42, 33, 13 and 8.
#pragma once

#include "legato.h"

// Inputs 1 and 2.
void Init1_I(void);
// Inputs 3 and 4.
void Init2_I(void);
// Change handler of the input pins; the context is the input's record.
void OnStateChanege(bool state, void* contextPtr);
