// The add-on converter's Data Hub binding.
#pragma once

#include "legato.h"

void DeleteMainResourcesAddONUC(void);
