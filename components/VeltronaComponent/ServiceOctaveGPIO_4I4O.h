// The 4-input/4-output expander board (add-on type 7): lines 0 to 3 of an MCP23008-class expander on
// "/dev/i2c-5" are "addon/input1" to "addon/input4", lines 4 to 7 "addon/output5" to "addon/output8".
#pragma once

#include "legato.h"

void Init_4I4O(void);
void HandleSettingsAddressPush4I4O(double timestamp, double value, void* contextPtr);
void OnStateChanege4I4O(bool state, void* contextPtr);
// Push handler of the outputs; the context is the output's record.
void HandleGPIO4I4OPush(double timestamp, bool value, void* contextPtr);
// Teardown: when the board is built, its four outputs go off (latch 0) before their resources go.
void SwitchOffOutputs4I4O(void);
