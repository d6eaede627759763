#include "pa_i2c.h"
#include "le_log.h"
#include "pa_path.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace
{
// Simulated descriptors sit far above what the process opens, so they never alias a real one.
const int SimFdBase = 1 << 20;

struct SimBus
{
    std::map<uint8_t, std::vector<pa_i2cSim_Device_t>> devices;   // more than one: chips sharing an address
    bool failing = false;
    unsigned transfers = 0;
};

struct SimHandle
{
    std::string bus;
    int address = -1;
};

std::mutex I2cMutex;
std::map<std::string, SimBus> Buses;
std::map<int, SimHandle> Handles;
int NextSimFd = SimFdBase;

bool IsSim(int fd)
{
    return fd >= SimFdBase;
}

// Finds the device selected on a simulated descriptor; sets errno and returns false otherwise.
bool SimTarget(int fd, SimBus** busPtr, std::vector<pa_i2cSim_Device_t>* devicesPtr)
{
    auto h = Handles.find(fd);
    if (h == Handles.end())
    {
        errno = EBADF;
        return false;
    }
    auto b = Buses.find(h->second.bus);
    if (b == Buses.end())
    {
        errno = ENODEV;   // the bus went away while open
        return false;
    }
    b->second.transfers++;
    if (b->second.failing)
    {
        errno = EIO;
        return false;
    }
    if (h->second.address < 0)
    {
        errno = EINVAL;   // no slave selected
        return false;
    }
    auto d = b->second.devices.find(static_cast<uint8_t>(h->second.address));
    if (d == b->second.devices.end() || d->second.empty())
    {
        errno = ENXIO;   // no acknowledge
        return false;
    }
    *busPtr = &b->second;
    *devicesPtr = d->second;
    return true;
}
}

int pa_i2c_Open(const char* busPath, int flags)
{
    {
        std::lock_guard<std::mutex> lock(I2cMutex);
        if (Buses.count(busPath))
        {
            int fd = NextSimFd++;
            Handles[fd] = SimHandle{busPath, -1};
            return fd;
        }
    }
    return pa_fs_Open(busPath, flags, 0);
}

int pa_i2c_Ioctl(int fd, unsigned long request, unsigned long arg)
{
    if (!IsSim(fd)) return ioctl(fd, request, arg);
    std::lock_guard<std::mutex> lock(I2cMutex);
    auto h = Handles.find(fd);
    if (h == Handles.end())
    {
        errno = EBADF;
        return -1;
    }
    if (request != PA_I2C_SLAVE_FORCE || arg > 0x7F)
    {
        errno = EINVAL;
        return -1;
    }
    h->second.address = static_cast<int>(arg);
    return 0;
}

ssize_t pa_i2c_Read(int fd, void* buf, size_t count)
{
    if (!IsSim(fd)) return read(fd, buf, count);
    std::unique_lock<std::mutex> lock(I2cMutex);
    SimBus* bus;
    std::vector<pa_i2cSim_Device_t> devices;
    if (!SimTarget(fd, &bus, &devices)) return -1;
    lock.unlock();   // a device may take its time or use the log
    if (devices.size() == 1)
    {
        const pa_i2cSim_Device_t& device = devices[0];
        return device.read ? device.read(device.ctx, static_cast<uint8_t*>(buf), count) : (errno = EIO, -1);
    }
    // Chips sharing an address drive the open-drain data line together: a bit reads 1 only where
    // every chip sends 1; a chip that sends fewer bytes releases the line (1s) for the rest.
    auto* out = static_cast<uint8_t*>(buf);
    std::vector<uint8_t> one(count);
    ssize_t longest = -1;
    for (size_t i = 0; i < count; i++) out[i] = 0xFF;
    for (const pa_i2cSim_Device_t& device : devices)
    {
        ssize_t n = device.read ? device.read(device.ctx, one.data(), count) : -1;
        if (n < 0) continue;
        for (ssize_t i = 0; i < n; i++) out[i] &= one[static_cast<size_t>(i)];
        if (n > longest) longest = n;
    }
    if (longest < 0) errno = EIO;
    return longest;
}

ssize_t pa_i2c_Write(int fd, const void* buf, size_t count)
{
    if (!IsSim(fd)) return write(fd, buf, count);
    std::unique_lock<std::mutex> lock(I2cMutex);
    SimBus* bus;
    std::vector<pa_i2cSim_Device_t> devices;
    if (!SimTarget(fd, &bus, &devices)) return -1;
    lock.unlock();
    // Every chip at the address takes the bytes; one acknowledge is enough for the master.
    ssize_t longest = -1;
    int error = EIO;
    for (const pa_i2cSim_Device_t& device : devices)
    {
        ssize_t n = device.write ? device.write(device.ctx, static_cast<const uint8_t*>(buf), count) : -1;
        if (n < 0) error = errno;
        if (n > longest) longest = n;
    }
    if (longest < 0) errno = error;
    return longest;
}

int pa_i2c_Close(int fd)
{
    if (!IsSim(fd)) return close(fd);
    std::lock_guard<std::mutex> lock(I2cMutex);
    if (Handles.erase(fd) == 0)
    {
        errno = EBADF;
        return -1;
    }
    return 0;
}

void pa_i2cSim_AddBus(const char* busPath)
{
    std::lock_guard<std::mutex> lock(I2cMutex);
    Buses[busPath];
}

void pa_i2cSim_RemoveBus(const char* busPath)
{
    std::lock_guard<std::mutex> lock(I2cMutex);
    Buses.erase(busPath);
}

void pa_i2cSim_RemoveAll(void)
{
    std::lock_guard<std::mutex> lock(I2cMutex);
    Buses.clear();
}

void pa_i2cSim_AttachDevice(const char* busPath, uint8_t address, const pa_i2cSim_Device_t* device)
{
    std::lock_guard<std::mutex> lock(I2cMutex);
    Buses[busPath].devices[address] = {*device};
}

void pa_i2cSim_ShareAddress(const char* busPath, uint8_t address, const pa_i2cSim_Device_t* device)
{
    std::lock_guard<std::mutex> lock(I2cMutex);
    Buses[busPath].devices[address].push_back(*device);
}

void pa_i2cSim_DetachDevice(const char* busPath, uint8_t address)
{
    std::lock_guard<std::mutex> lock(I2cMutex);
    auto b = Buses.find(busPath);
    if (b != Buses.end()) b->second.devices.erase(address);
}

void pa_i2cSim_DetachDeviceOf(const char* busPath, uint8_t address, void* ctx)
{
    std::lock_guard<std::mutex> lock(I2cMutex);
    auto b = Buses.find(busPath);
    if (b == Buses.end()) return;
    auto d = b->second.devices.find(address);
    if (d == b->second.devices.end()) return;
    std::vector<pa_i2cSim_Device_t>& v = d->second;
    for (auto it = v.begin(); it != v.end();)
    {
        if (it->ctx == ctx) it = v.erase(it);
        else ++it;
    }
    if (v.empty()) b->second.devices.erase(d);
}

void pa_i2cSim_SetBusFault(const char* busPath, bool failing)
{
    std::lock_guard<std::mutex> lock(I2cMutex);
    auto b = Buses.find(busPath);
    if (b != Buses.end()) b->second.failing = failing;
}

unsigned pa_i2cSim_GetTransferCount(const char* busPath)
{
    std::lock_guard<std::mutex> lock(I2cMutex);
    auto b = Buses.find(busPath);
    return b == Buses.end() ? 0 : b->second.transfers;
}
