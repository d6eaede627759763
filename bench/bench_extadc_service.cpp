// le_ExtAdc figures against a running veltrona on the converter board and the skip clock: GetValue
// round trips per second at 12 bits (the service's own cost: the chip's conversion time is skipped
// on the main thread), and OnValue events per second delivered to 1 and to 8 clients with the
// looper's interval at 0 (the looper's sleeps take real time: its polls of the chip set the pace).
#include "bench_support.h"
#include "le_ExtAdc_client.h"
#include "le_event.h"
#include "le_log.h"
#include "le_msg.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{
void Usage(FILE* to)
{
    fprintf(to,
            "Usage: bench_extadc_service [--seconds N] [--veltrona PATH]\n"
            "Prints le_ExtAdc GetValue round trips per second at 12 bits, and OnValue events per second\n"
            "delivered to 1 and to 8 client processes with the looper's interval at 0 (each part N\n"
            "seconds, default 3), with veltrona's CPU.\n");
}

long Events = 0;
void OnValue(uint32_t, uint16_t, double, double, void*)
{
    Events++;
}

// One client process: counts the events of channel 1 for the seconds given and writes the count.
void Client(const std::string& services, double seconds, int out)
{
    le_msg_SetServiceDirectory(services.c_str());
    long count = -1;
    if (ConnectWithin(le_ExtAdc_TryConnectService, 10) &&
        le_ExtAdc_AddOnValueHandler(LE_EXTADC_ADC1, OnValue, nullptr) != nullptr)
    {
        ServeLoopFor(seconds);
        count = Events;
    }
    if (write(out, &count, sizeof(count)) != static_cast<ssize_t>(sizeof(count))) _exit(1);
    le_ExtAdc_DisconnectService();
    _exit(0);
}

// Events per second that each of n clients received, summed; -1 when a client failed.
double EventsToClients(const std::string& services, int n, double seconds, long* totalPtr)
{
    int fds[2];
    if (pipe(fds) != 0) return -1;
    std::vector<pid_t> children;
    for (int i = 0; i < n; i++)
    {
        pid_t child = fork();
        if (child == 0)
        {
            close(fds[0]);
            Client(services, seconds, fds[1]);
        }
        children.push_back(child);
    }
    close(fds[1]);
    long total = 0;
    bool ok = true;
    for (int i = 0; i < n; i++)
    {
        long count = -1;
        if (read(fds[0], &count, sizeof(count)) != static_cast<ssize_t>(sizeof(count)) || count < 0) ok = false;
        else total += count;
    }
    close(fds[0]);
    for (pid_t c : children) waitpid(c, nullptr, 0);
    *totalPtr = total;
    return ok ? total / seconds : -1;
}
}

int main(int argc, char** argv)
{
    BenchOptions options;
    int exitCode = 0;
    if (!ParseBenchOptions(argc, argv, Usage, &options, &exitCode)) return exitCode;
    le_log_SetGlobalFilterLevel(LE_LOG_WARN);
    std::string rt = MakeRunDirectory("bench_extadc_service");
    if (rt.empty()) return 1;
    pid_t pid = StartProgram(options.veltrona, {"--scenario", "converter", "--clock", "skip", "--runtime-dir", rt,
                                                "--log-level", "warning"},
                             rt + "/console.log");
    if (pid < 0) return 1;
    std::string services = rt + "/services";
    le_msg_SetServiceDirectory(services.c_str());
    if (!ConnectWithin(le_ExtAdc_TryConnectService, 30) || le_ExtAdc_SetConversionSpeed(0) != LE_OK)
    {
        fprintf(stderr, "bench_extadc_service: veltrona did not come up with le_ExtAdc\n");
        kill(pid, SIGKILL);
        return 1;
    }
    sleep(1);   // the Data Hub binding's start-up settings have reached the converter

    le_ExtAdc_SetConversionSpeed(0);
    double cpuBefore = CpuSeconds(pid);
    long trips = 0;
    long failed = 0;
    double start = Now();
    while (Now() - start < options.seconds)
    {
        double percentage = 0;
        if (le_ExtAdc_GetValue(LE_EXTADC_ADC1, nullptr, &percentage, nullptr) == LE_OK) trips++;
        else failed++;
    }
    double elapsed = Now() - start;
    double cpu = CpuSeconds(pid) - cpuBefore;
    printf("GetValue at 12 bits: %ld round trips in %.1f s = %.0f per second, %.3f ms each (%ld not OK)\n", trips,
           elapsed, trips / elapsed, 1000 * elapsed / (trips ? trips : 1), failed);
    printf("veltrona CPU per round trip: %.1f us\n", 1e6 * cpu / (trips ? trips : 1));

    le_ExtAdc_SetInterval(0);
    le_ExtAdc_DisconnectService();
    for (int n : {1, 8})
    {
        long total = 0;
        cpuBefore = CpuSeconds(pid);
        double rate = EventsToClients(services, n, options.seconds, &total);
        cpu = CpuSeconds(pid) - cpuBefore;
        if (rate < 0) printf("%d client(s): a client could not register\n", n);
        else
            printf("%d client(s), interval 0: %ld OnValue events delivered = %.1f per second in all, %.1f per client; "
                   "veltrona %.1f %% of one core\n",
                   n, total, rate, rate / n, 100 * cpu / options.seconds);
    }
    kill(pid, SIGINT);
    waitpid(pid, nullptr, 0);
    if (system(("rm -rf '" + rt + "'").c_str()) != 0) fprintf(stderr, "could not remove %s\n", rt.c_str());
    return 0;
}
