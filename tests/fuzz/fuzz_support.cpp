#include "fuzz_support.h"
#include "le_clock.h"
#include "le_event.h"
#include "le_log.h"
#include "pa_path.h"
#include "sim_pty.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{
std::string Dir;
SimPty Port;

void RemoveDir()
{
    if (!Dir.empty() && system(("rm -rf '" + Dir + "'").c_str()) != 0) fprintf(stderr, "could not remove %s\n", Dir.c_str());
}

void Drain()
{
    uint8_t junk[4096];
    while (read(Port.master, junk, sizeof(junk)) > 0)
    {
    }
}

// Bytes written to the port that the component has not read yet.
int Unread()
{
    int n = 0;
    if (Port.keepSlave < 0 || ioctl(Port.keepSlave, FIONREAD, &n) != 0) return 0;
    return n;
}
}

const std::string& fuzz_Setup(void)
{
    if (!Dir.empty()) return Dir;
    le_log_SetStderr(false);
    le_log_SetGlobalFilterLevel(LE_LOG_EMERG);
    le_clk_SetMode(LE_CLK_VIRTUAL);
    char pattern[] = "/tmp/veltrona-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    Dir = pattern;
    atexit(RemoveDir);
    pa_path_AddMapping("/mnt/userrw", Dir.c_str());
    pa_path_AddMapping("/dev", (Dir + "/dev").c_str());   // nothing else of the real /dev
    return Dir;
}

bool fuzz_OpenPort(const char* modulePath)
{
    fuzz_Setup();
    char slave[256];
    if (!simPty_Open(&Port, slave, sizeof(slave))) return false;
    return pa_path_AddMapping(modulePath, slave) == LE_OK;
}

void fuzz_Settle(void)
{
    for (int idle = 0; idle < 3;)
    {
        bool did = le_event_ServiceOnce(0);
        Drain();
        idle = did ? 0 : idle + 1;
    }
}

void fuzz_Feed(const uint8_t* data, size_t size)
{
    while (size > 0)
    {
        ssize_t n = write(Port.master, data, size);
        if (n > 0)
        {
            data += n;
            size -= static_cast<size_t>(n);
        }
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
        {
            abort();
        }
        for (int spins = 0; Unread() > 0 && spins < 100000; spins++)
        {
            le_event_ServiceOnce(1);
            Drain();
        }
    }
    fuzz_Settle();
}
