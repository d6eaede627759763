// The 8-input/8-output Modbus board binding against the simulated slave on the real clock: polls at
// 100 ms for N seconds, the answers and pushes they bring, the main thread's CPU, and the time from
// an answer's last byte on the line to the last of its sixteen pushes.
#include "ModbusBoard8i8oOctave.h"
#include "UniversalConverterOctave.h"
#include "bench_support.h"
#include "datahub_admin.h"
#include "le_clock.h"
#include "le_event.h"
#include "le_log.h"
#include "pa_path.h"
#include "sim_board.h"
#include "sim_modbus.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

namespace
{
void Usage(FILE* to)
{
    fprintf(to,
            "Usage: bench_board8i8o [--seconds N]\n"
            "Builds the 8-input/8-output Modbus board (add-on type 5) against the simulated slave on\n"
            "a pseudo-terminal and the real clock, polls it every 100 ms for N seconds (default 10)\n"
            "and prints the polls answered, the values pushed, the main thread's CPU (the gateway's\n"
            "event loop: link, binding and Data Hub) and the time from an answer's last byte to the\n"
            "last of its sixteen pushes (median and worst). Log lines are formatted and discarded.\n");
}

double ThreadCpuSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::atomic<double> AnswerAt{0};
void OnAnswerWritten()
{
    AnswerAt = Now();
}

std::mutex PushMutex;
long Pushes = 0;
std::vector<double> Latencies;
void OnPush(const char* path, io_DataType_t, double, const char* value, void*)
{
    LE_UNUSED(value);
    std::lock_guard<std::mutex> lock(PushMutex);
    if (strncmp(path, "addon/analog_input", 18) != 0 && strncmp(path, "addon/digital_input", 19) != 0) return;
    Pushes++;
    // Channel 8's digital input is the last of the sixteen.
    if (strcmp(path, "addon/digital_input8") == 0) Latencies.push_back(Now() - AnswerAt.load());
}

}

int main(int argc, char** argv)
{
    BenchOptions options;
    options.seconds = 10;
    int exitCode = 0;
    if (!ParseBenchOptions(argc, argv, Usage, &options, &exitCode)) return exitCode;
    le_log_SetStderr(false);
    le_clk_SetMode(LE_CLK_REAL);
    char err[128];
    if (!simBoard_LoadPreset("addon", err, sizeof(err))) return 1;
    simBoard_Install();
    char tty[PA_PATH_MAX];
    if (!simModbus_Start(1, tty, sizeof(tty)))
    {
        fprintf(stderr, "bench_board8i8o: cannot start the simulated slave\n");
        return 1;
    }
    pa_path_AddMapping("/dev/ttyHS1", tty);
    simModbus_SetAnswerHook(OnAnswerWritten);

    InitUC(1);
    dhub_AdminPush("settings/addon_type", "5");
    le_event_RunUntilIdle();
    if (dhub_AdminPush("addon/modbus_address", "1") != LE_OK)
    {
        fprintf(stderr, "bench_board8i8o: the board was not built\n");
        return 1;
    }
    le_event_RunUntilIdle();
    void* watch = dhub_AddWatch("addon/", OnPush, nullptr);
    unsigned requestsBefore = simModbus_RequestCount();
    dhub_AdminPush("addon/modbus_interval", "0.1");
    double cpuBefore = ThreadCpuSeconds();
    double start = Now();
    ServeLoopFor(options.seconds);
    double elapsed = Now() - start;
    double cpu = ThreadCpuSeconds() - cpuBefore;
    unsigned polls = simModbus_RequestCount() - requestsBefore;
    dhub_RemoveWatch(watch);
    simModbus_SetAnswerHook(nullptr);

    std::lock_guard<std::mutex> lock(PushMutex);
    std::vector<double> sorted = Latencies;
    std::sort(sorted.begin(), sorted.end());
    printf("%.1f s at 100 ms: %u polls answered, %zu answers decoded, %ld values pushed\n", elapsed, polls,
           Latencies.size(), Pushes);
    printf("main thread CPU: %.2f %% of one core (%.3f ms a poll)\n", 100 * cpu / elapsed,
           polls ? cpu * 1000 / polls : 0.0);
    if (!sorted.empty())
    {
        printf("answer's last byte to its sixteenth push: median %.3f ms, worst %.3f ms\n",
               sorted[sorted.size() / 2] * 1000, sorted.back() * 1000);
    }
    le_EModbus_Stop();
    simModbus_Stop();
    return 0;
}
