// le_EnOcean figures: SendData round trips per second from one client, and receive events per
// second delivered to one client while the gateway's port is fed as fast as the pty takes it.
#include "bench_support.h"
#include "le_EnOcean_client.h"
#include "le_event.h"
#include "le_log.h"
#include "le_msg.h"
#include "sim_esp3.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{
long Events = 0;
void Count(uint8_t, const uint8_t*, size_t, const char*, const char*, const char*, bool, void*)
{
    Events++;
}

void Usage(FILE* to)
{
    fprintf(to,
            "Usage: bench_enocean_service [--seconds N] [--veltrona PATH]\n"
            "Prints le_EnOcean SendData round trips per second and receive events per second to\n"
            "one client (each figure measured for N seconds, default 3).\n");
}
}

int main(int argc, char** argv)
{
    BenchOptions options;
    int exitCode = 0;
    if (!ParseBenchOptions(argc, argv, Usage, &options, &exitCode)) return exitCode;
    le_log_SetGlobalFilterLevel(LE_LOG_WARN);
    std::string rt = MakeRunDirectory("bench_enocean_service");
    if (rt.empty()) return 1;
    int master = -1, holdSlave = -1;
    std::string slave;
    if (!OpenRawPty(&master, &slave, &holdSlave)) return 1;
    pid_t pid = StartGateway(options.veltrona, rt, slave, "warning", rt + "/console.log");
    if (pid < 0) return 1;
    le_msg_SetServiceDirectory((rt + "/services").c_str());
    if (!ConnectWithin(le_EnOcean_TryConnectService, 30))
    {
        fprintf(stderr, "bench_enocean_service: the gateway did not come up\n");
        kill(pid, SIGKILL);
        return 1;
    }
    le_EnOcean_AddOnReceiveHandler(Count, nullptr);

    // Round trips: the queue takes 512 frames, later calls answer LE_BUSY just as fast.
    const uint8_t data[] = {0x09};
    long calls = 0, accepted = 0;
    double cpuBefore = CpuSeconds(pid);
    double start = Now();
    while (Now() - start < options.seconds)
    {
        if (le_EnOcean_SendData(0x05, data, 1, nullptr, 0) == LE_OK) accepted++;
        calls++;
    }
    double callTime = Now() - start;
    double callCpu = CpuSeconds(pid) - cpuBefore;
    le_event_RunUntilIdle();
    Events = 0;

    // Receive events: whole telegrams written as fast as the port takes them.
    long sent = 0;
    unsigned step = 0;
    size_t sensorCount = 0;
    simEsp3_Sensors(&sensorCount);
    std::vector<uint8_t> block;
    start = Now();
    while (Now() - start < options.seconds)
    {
        block.clear();
        for (int k = 0; k < 64; k++, step++, sent++)
        {
            uint8_t frame[128];
            size_t n = simEsp3_SensorFrame(step % sensorCount, step / sensorCount, frame, sizeof(frame));
            block.insert(block.end(), frame, frame + n);
        }
        size_t off = 0;
        while (off < block.size())
        {
            ssize_t w = write(master, block.data() + off, block.size() - off);
            if (w > 0) off += static_cast<size_t>(w);
            else le_event_ServiceOnce(1);   // the port is full: take events meanwhile
            uint8_t junk[4096];
            while (read(master, junk, sizeof(junk)) > 0)
            {
            }
        }
        le_event_ServiceOnce(0);
    }
    double feedTime = Now() - start;
    for (double end = Now() + 5; Now() < end && Events < sent;) le_event_ServiceOnce(10);
    double eventTime = Now() - start;

    printf("SendData round trips: %ld in %.1f s = %.0f per second (%ld queued, the rest LE_BUSY)\n", calls,
           callTime, calls / callTime, accepted);
    printf("gateway CPU per round trip: %.1f us (%.0f %% of one core)\n", 1e6 * callCpu / (calls ? calls : 1),
           100 * callCpu / callTime);
    printf("receive events: %ld of %ld frames in %.1f s = %.0f per second (fed for %.1f s)\n", Events, sent,
           eventTime, Events / eventTime, feedTime);
    le_EnOcean_DisconnectService();
    kill(pid, SIGINT);
    waitpid(pid, nullptr, 0);
    close(master);
    if (holdSlave >= 0) close(holdSlave);
    if (system(("rm -rf '" + rt + "'").c_str()) != 0) fprintf(stderr, "could not remove %s\n", rt.c_str());
    return 0;
}
