// External ADC driver and conversion.
#pragma once

#include "legato.h"

void StartUC(void);
