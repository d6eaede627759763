// le_EModbus figures: request/answer round trips per second through the service to the simulated
// slave, one request on the line at a time, and the program's CPU time and peak memory meanwhile.
#include "bench_support.h"
#include "le_EModbus_client.h"
#include "le_event.h"
#include "le_log.h"
#include "le_msg.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
long Answers = 0;
void Count(const uint8_t*, size_t, void*)
{
    Answers++;
}

// Serves the loop until the answers reach the count or the time runs out.
bool AwaitAnswers(long count, double timeout)
{
    for (double end = Now() + timeout; Answers < count;)
    {
        if (Now() > end) return false;
        le_event_ServiceOnce(1);
    }
    return true;
}

void Usage(FILE* to)
{
    fprintf(to,
            "Usage: bench_modbus_service [--seconds N] [--veltrona PATH]\n"
            "Prints le_EModbus round trips per second to the simulated slave, one at a time and with\n"
            "100 requests queued at once (each measured for N seconds, default 3), and the\n"
            "program's CPU time and peak RSS.\n");
}
}

int main(int argc, char** argv)
{
    BenchOptions options;
    int exitCode = 0;
    if (!ParseBenchOptions(argc, argv, Usage, &options, &exitCode)) return exitCode;
    le_log_SetGlobalFilterLevel(LE_LOG_WARN);
    std::string rt = MakeRunDirectory("bench_modbus_service");
    if (rt.empty()) return 1;
    pid_t pid = StartProgram(options.veltrona, {"--scenario", "addon", "--clock", "skip", "--runtime-dir", rt, "--log-level",
                                        "warning"},
                             rt + "/console.log");
    if (pid < 0) return 1;
    le_msg_SetServiceDirectory((rt + "/services").c_str());
    if (!ConnectWithin(le_EModbus_TryConnectService, 30) || le_EModbus_Start() != LE_OK ||
        le_EModbus_AddOnReceiveHandler(Count, nullptr) == nullptr)
    {
        fprintf(stderr, "bench_modbus_service: veltrona did not come up with its Modbus link\n");
        kill(pid, SIGKILL);
        return 1;
    }

    const uint8_t read8[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00};
    double cpuBefore = CpuSeconds(pid);
    long lost = 0;
    double start = Now();
    while (Now() - start < options.seconds)
    {
        long want = Answers + 1;
        if (le_EModbus_SendRequest(read8, sizeof(read8)) != LE_OK || !AwaitAnswers(want, 4))
        {
            lost++;
            Answers = want;
        }
    }
    double serialTime = Now() - start;
    double serialCpu = CpuSeconds(pid) - cpuBefore;
    long serial = Answers;

    Answers = 0;
    long queued = 0;
    start = Now();
    while (Now() - start < options.seconds)
    {
        for (int k = 0; k < 100; k++) queued += le_EModbus_SendRequest(read8, sizeof(read8)) == LE_OK;
        if (!AwaitAnswers(queued, 10)) break;
    }
    double queuedTime = Now() - start;
    double cpu = CpuSeconds(pid) - cpuBefore;

    printf("one at a time: %ld round trips in %.1f s = %.0f per second, %.2f ms each (%ld unanswered)\n", serial,
           serialTime, serial / serialTime, 1000 * serialTime / (serial ? serial : 1), lost);
    printf("veltrona CPU per round trip: %.1f us (%.0f %% of one core)\n", 1e6 * serialCpu / (serial ? serial : 1),
           100 * serialCpu / serialTime);
    printf("100 queued at once: %ld of %ld answered in %.1f s = %.0f per second\n", Answers, queued, queuedTime,
           Answers / queuedTime);
    printf("veltrona: %.2f s CPU (%.1f %% of one core), peak RSS %ld KiB\n", cpu,
           100 * cpu / (serialTime + queuedTime), PeakRssKb(pid));
    le_EModbus_DisconnectService();
    kill(pid, SIGINT);
    waitpid(pid, nullptr, 0);
    if (system(("rm -rf '" + rt + "'").c_str()) != 0) fprintf(stderr, "could not remove %s\n", rt.c_str());
    return 0;
}
