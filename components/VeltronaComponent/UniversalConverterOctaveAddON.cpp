#include "UniversalConverterOctaveAddON.h"

void DeleteMainResourcesAddONUC(void)
{
}
