// Add-on board selection and teardown.
#pragma once

#include "legato.h"

// Push handler of "settings/addon_type"; the context is the main mode's settings record.
void HandleSettingsAddOnPush(double timestamp, double value, void* contextPtr);
void DeleteAddOnResources(uint8_t disableEdgeSense);
