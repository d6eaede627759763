// The Modbus 8-input/8-output board binding.
#pragma once

#include "legato.h"

void DeleteMainResourcesBoard8i8o(void);
