#include "EnOceanOctaveSensors.h"

void DeleteResourceEO(const char* id, uint8_t notify)
{
    LE_UNUSED(id);
    LE_UNUSED(notify);
}
