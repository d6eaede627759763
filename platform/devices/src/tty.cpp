#include "le_tty.h"
#include "le_log.h"
#include "pa_path.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace
{
struct SpeedEntry
{
    uint32_t baud;
    speed_t code;
};

const SpeedEntry Speeds[] = {
    {0, B0},         {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},     {200, B200},       {300, B300},       {600, B600},       {1200, B1200},
    {1800, B1800},   {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800},
};
const size_t SpeedCount = sizeof(Speeds) / sizeof(Speeds[0]);

le_result_t Update(int fd, void (*change)(struct termios*, const void*), const void* arg)
{
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
    {
        LE_ERROR("tcgetattr(%d) failed: %s", fd, strerror(errno));
        return LE_FAULT;
    }
    change(&tio, arg);
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
    {
        LE_ERROR("tcsetattr(%d) failed: %s", fd, strerror(errno));
        return LE_FAULT;
    }
    return LE_OK;
}
}

int le_tty_Open(const char* path, int flags)
{
    int fd = pa_fs_Open(path, flags | O_NOCTTY, 0);
    if (fd < 0)
    {
        LE_ERROR("Cannot open %s: %s", path, strerror(errno));
        return -1;
    }
    if (!isatty(fd))
    {
        LE_ERROR("%s is not a terminal", path);
        close(fd);
        return -1;
    }
    return fd;
}

void le_tty_Close(int fd)
{
    if (fd >= 0) close(fd);
}

uint32_t le_tty_SpeedToBaud(le_tty_Speed_t speed)
{
    size_t i = static_cast<size_t>(speed);
    return i < SpeedCount ? Speeds[i].baud : 0;
}

le_result_t le_tty_SetBaudRate(int fd, le_tty_Speed_t speed)
{
    size_t i = static_cast<size_t>(speed);
    if (i >= SpeedCount) return LE_OUT_OF_RANGE;
    return Update(
        fd,
        [](struct termios* tio, const void* arg) {
            speed_t code = *static_cast<const speed_t*>(arg);
            cfsetispeed(tio, code);
            cfsetospeed(tio, code);
        },
        &Speeds[i].code);
}

le_result_t le_tty_GetBaudRate(int fd, le_tty_Speed_t* speedPtr)
{
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) return LE_FAULT;
    speed_t code = cfgetospeed(&tio);
    for (size_t i = 0; i < SpeedCount; i++)
    {
        if (Speeds[i].code == code)
        {
            *speedPtr = static_cast<le_tty_Speed_t>(i);
            return LE_OK;
        }
    }
    return LE_FAULT;
}

le_result_t le_tty_SetFraming(int fd, char parity, int wordSize, int stopBits)
{
    if ((parity != 'N' && parity != 'O' && parity != 'E') || wordSize < 5 || wordSize > 8 ||
        (stopBits != 1 && stopBits != 2))
    {
        return LE_BAD_PARAMETER;
    }
    struct Framing
    {
        char parity;
        int wordSize;
        int stopBits;
    } framing{parity, wordSize, stopBits};
    return Update(
        fd,
        [](struct termios* tio, const void* arg) {
            const auto* f = static_cast<const Framing*>(arg);
            static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
            tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
            tio->c_cflag |= sizes[f->wordSize - 5] | CREAD | CLOCAL;
            if (f->parity != 'N') tio->c_cflag |= PARENB;
            if (f->parity == 'O') tio->c_cflag |= PARODD;
            if (f->stopBits == 2) tio->c_cflag |= CSTOPB;
        },
        &framing);
}

le_result_t le_tty_SetFlowControl(int fd, le_tty_FlowControl_t flowControl)
{
    return Update(
        fd,
        [](struct termios* tio, const void* arg) {
            auto fc = *static_cast<const le_tty_FlowControl_t*>(arg);
            tio->c_cflag &= ~CRTSCTS;
            tio->c_iflag &= ~(IXON | IXOFF | IXANY);
            if (fc == LE_TTY_FLOW_CONTROL_HARDWARE) tio->c_cflag |= CRTSCTS;
            if (fc == LE_TTY_FLOW_CONTROL_XON_XOFF) tio->c_iflag |= IXON | IXOFF;
        },
        &flowControl);
}

le_result_t le_tty_SetRaw(int fd, int numChars, int timeout)
{
    if (numChars < 0 || numChars > 255 || timeout < 0 || timeout > 255) return LE_BAD_PARAMETER;
    int cc[2] = {numChars, timeout};
    return Update(
        fd,
        [](struct termios* tio, const void* arg) {
            const int* v = static_cast<const int*>(arg);
            cfmakeraw(tio);
            tio->c_cc[VMIN] = static_cast<cc_t>(v[0]);
            tio->c_cc[VTIME] = static_cast<cc_t>(v[1]);
        },
        cc);
}
