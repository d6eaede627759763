#include "sim_pty.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace
{
void MakeRaw(int fd)
{
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) return;
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
}
}

bool simPty_Open(SimPty* pty, char* slavePath, size_t slavePathSize)
{
    pty->master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (pty->master < 0) return false;
    const char* name = nullptr;
    if (grantpt(pty->master) == 0 && unlockpt(pty->master) == 0) name = ptsname(pty->master);
    if (name == nullptr || snprintf(slavePath, slavePathSize, "%s", name) >= static_cast<int>(slavePathSize))
    {
        close(pty->master);
        pty->master = -1;
        return false;
    }
    MakeRaw(pty->master);
    pty->keepSlave = open(slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty->keepSlave >= 0) MakeRaw(pty->keepSlave);
    return true;
}

void simPty_Close(SimPty* pty)
{
    if (pty->keepSlave >= 0) close(pty->keepSlave);
    if (pty->master >= 0) close(pty->master);
    pty->keepSlave = pty->master = -1;
}

void simPty_WriteAll(const SimPty* pty, const uint8_t* p, size_t n, const std::atomic<bool>& running)
{
    while (n > 0 && running)
    {
        ssize_t w = write(pty->master, p, n);
        if (w > 0)
        {
            p += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) return;
        struct pollfd pfd = {pty->master, POLLOUT, 0};
        poll(&pfd, 1, 50);
    }
}

uint64_t simPty_NowMs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}
