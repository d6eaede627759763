// le_EnOcean figures: the round trip of SendData calls the gateway accepts, the pace a full queue
// takes frames at, and receive events per second delivered to one client while the gateway's port
// is fed as fast as the pty takes it.
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
            "Prints the round trip of le_EnOcean SendData calls that are accepted (until the 512-frame\n"
            "queue is full), the pace at which a full queue takes frames, and receive events per second\n"
            "to one client (each part at most N seconds, default 3).\n");
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
    // Accepted sends: the queue (512 frames) is filled call by call, each round trip timed; the
    // transceiver side of the line is read meanwhile so that frames go out as the link sends them.
    long accepted = 0;
    double acceptedTime = 0;
    auto drain = [master] {
        uint8_t junk[4096];
        while (read(master, junk, sizeof(junk)) > 0)
        {
        }
    };
    double cpuBefore = CpuSeconds(pid);
    double start = Now();
    while (Now() - start < options.seconds)
    {
        double before = Now();
        le_result_t r = le_EnOcean_SendData(0x05, data, 1, nullptr, 0);
        double took = Now() - before;
        drain();
        if (r != LE_OK) break;
        accepted++;
        acceptedTime += took;
    }
    double callCpu = CpuSeconds(pid) - cpuBefore;
    // Then the pace the queue frees itself at: a call each time it has room.
    long later = 0;
    double paceStart = Now();
    while (Now() - paceStart < options.seconds)
    {
        if (le_EnOcean_SendData(0x05, data, 1, nullptr, 0) == LE_OK) later++;
        else le_event_ServiceOnce(10);
        drain();
    }
    double paceTime = Now() - paceStart;
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

    printf("SendData accepted: %ld round trips, %.3f ms each (%.0f per second), gateway CPU %.1f us each\n",
           accepted, 1000 * acceptedTime / (accepted ? accepted : 1), accepted / (acceptedTime > 0 ? acceptedTime : 1),
           1e6 * callCpu / (accepted ? accepted : 1));
    printf("SendData once the queue is full: %ld accepted in %.1f s = %.1f per second (the link sends a frame at "
           "most every 200 ms)\n",
           later, paceTime, later / paceTime);
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
