// Per-sensor Data Hub resources.
#pragma once

#include "legato.h"

// Deletes the sensor's resources; with notify 0 the transceiver is left alone.
void DeleteResourceEO(const char* id, uint8_t notify);
