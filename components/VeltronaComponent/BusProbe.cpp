#include "BusProbe.h"

namespace
{
const char* const RebootCommand = "/sbin/reboot -f";
}

void RebootModule(void)
{
    pa_system_Run(RebootCommand);
}

void ProbeBus(int fd, uint8_t* byteBuf)
{
    if (pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, BUS_PROBE_ADDRESS) < 0)
    {
        LE_INFO("I2C BUS not presented");
        RebootModule();
        return;
    }
    if (pa_i2c_Read(fd, byteBuf, 1) == 1)
    {
        LE_INFO("I2C BUS OK.");
    }
    else
    {
        LE_INFO("I2C Address Error");
        RebootModule();
    }
}
