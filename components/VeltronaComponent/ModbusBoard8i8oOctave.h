// The Modbus 8-input/8-output board binding.
#pragma once

#include "legato.h"

void DeleteMainResourcesBoard8i8o(void);
// Builds the board's binding (add-on type 5).
void InitBoard8i8o(void);
