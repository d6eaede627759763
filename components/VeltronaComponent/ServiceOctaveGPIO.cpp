#include "ServiceOctaveGPIO.h"

void HandleSettingsAddOnPush(double timestamp, double value, void* contextPtr)
{
    LE_UNUSED(timestamp);
    if (contextPtr == nullptr) return;
    // The add-on type lives in the first byte of the settings record.
    *static_cast<uint8_t*>(contextPtr) = (value >= 0 && value <= 255) ? static_cast<uint8_t>(value) : 0;
}

void DeleteAddOnResources(uint8_t disableEdgeSense)
{
    LE_UNUSED(disableEdgeSense);
}
