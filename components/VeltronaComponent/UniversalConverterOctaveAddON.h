// The add-on converter's Data Hub binding.
#pragma once

#include "legato.h"

void DeleteMainResourcesAddONUC(void);
// Build and start the add-on converter (add-on type 6).
void InitAddONUC(void);
void StartAddONUC(void);
