#include "UniversalConverterOctaveAddON.h"

void DeleteMainResourcesAddONUC(void)
{
}

void InitAddONUC(void)
{
}

void StartAddONUC(void)
{
}
