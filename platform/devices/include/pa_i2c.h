// I2C access as the i2c-dev character devices offer it: open the bus, select the slave with
// ioctl(I2C_SLAVE_FORCE), read/write, close. A bus path registered with pa_i2cSim_AddBus is served by
// simulated devices; any other path goes (through the path mapping) to the real i2c-dev device.
#pragma once

#include "le_basics.h"

#include <sys/types.h>

#define PA_I2C_SLAVE_FORCE 0x0706

int pa_i2c_Open(const char* busPath, int flags);
int pa_i2c_Ioctl(int fd, unsigned long request, unsigned long arg);
ssize_t pa_i2c_Read(int fd, void* buf, size_t count);
ssize_t pa_i2c_Write(int fd, const void* buf, size_t count);
int pa_i2c_Close(int fd);

//--------------------------------------------------------------------------------------------------
// Simulated buses
//--------------------------------------------------------------------------------------------------
typedef struct
{
    // Each returns the bytes transferred or -1 (the errno to report is set by the device).
    ssize_t (*write)(void* ctx, const uint8_t* data, size_t count);
    ssize_t (*read)(void* ctx, uint8_t* data, size_t count);
    void* ctx;
}
pa_i2cSim_Device_t;

void pa_i2cSim_AddBus(const char* busPath);
void pa_i2cSim_RemoveBus(const char* busPath);
void pa_i2cSim_RemoveAll(void);
// Replaces any device at the address. The description is copied.
void pa_i2cSim_AttachDevice(const char* busPath, uint8_t address, const pa_i2cSim_Device_t* device);
// Adds a device beside those at the address, as two chips strapped to one address answer together:
// a write reaches every one of them, a read gets the bitwise AND of what they send (open drain).
void pa_i2cSim_ShareAddress(const char* busPath, uint8_t address, const pa_i2cSim_Device_t* device);
// Removes every device at the address, or only the one whose context is ctx.
void pa_i2cSim_DetachDevice(const char* busPath, uint8_t address);
void pa_i2cSim_DetachDeviceOf(const char* busPath, uint8_t address, void* ctx);
// A failing bus refuses every transfer with EIO (slave selection still succeeds, as i2c-dev does).
void pa_i2cSim_SetBusFault(const char* busPath, bool failing);
// Transfers made on simulated buses (for tests and diagnostics).
unsigned pa_i2cSim_GetTransferCount(const char* busPath);
