#include "ModbusBoard8i8oOctave.h"

void DeleteMainResourcesBoard8i8o(void)
{
}
