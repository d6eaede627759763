#include "UniversalConverter.h"

void StartUC(void)
{
}
