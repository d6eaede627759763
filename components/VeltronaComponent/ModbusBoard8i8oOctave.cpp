#include "ModbusBoard8i8oOctave.h"

void DeleteMainResourcesBoard8i8o(void)
{
}

void InitBoard8i8o(void)
{
}
