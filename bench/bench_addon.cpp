// The 8-input expander board on the simulated MCP23008 and the real clock: expander lines toggled
// at increasing rates, each edge timed from the line change to the Data Hub push of its input.
#include "UniversalConverterOctave.h"
#include "bench_support.h"
#include "datahub_admin.h"
#include "le_clock.h"
#include "le_event.h"
#include "le_log.h"
#include "sim_board.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
void Usage(FILE* to)
{
    fprintf(to,
            "Usage: bench_addon [--seconds N]\n"
            "Builds the 8-input expander board (add-on type 4) on the simulated MCP23008 and the real\n"
            "clock, toggles its eight lines in turn at 50 to 2000 edges a second (each rate N seconds,\n"
            "default 3) and prints, per rate, the edges pushed and lost, the time from a line change\n"
            "to the push of its input (median and worst), and the CPU the process used. The\n"
            "component's log lines are formatted as usual and discarded.\n");
}

struct Toggle
{
    double time;
    bool reported;   // the value the input should take: a line pulled low reads true
};

std::mutex EdgeMutex;
std::deque<Toggle> Pending[8];
std::vector<double> Latencies;
long Pushed = 0;
long Lost = 0;

void OnPush(const char* path, io_DataType_t, double, const char* value, void*)
{
    double now = Now();
    int n = 0;
    if (sscanf(path, "addon/input%d", &n) != 1 || n < 1 || n > 8) return;
    bool v = strcmp(value, "true") == 0;
    std::lock_guard<std::mutex> lock(EdgeMutex);
    std::deque<Toggle>& q = Pending[n - 1];
    // An edge whose input was never pushed (the line went back before it was read) is lost.
    while (!q.empty() && q.front().reported != v)
    {
        q.pop_front();
        Lost++;
    }
    if (q.empty()) return;   // the build's first push
    Latencies.push_back(now - q.front().time);
    q.pop_front();
    Pushed++;
}


void Toggler(double rate, double seconds, std::atomic<bool>* done)
{
    static bool levels[8] = {true, true, true, true, true, true, true, true};
    long edges = static_cast<long>(rate * seconds);
    double start = Now();
    char err[128];
    for (long k = 0; k < edges; k++)
    {
        double at = start + k / rate;
        double wait = at - Now();
        if (wait > 0) usleep(static_cast<useconds_t>(wait * 1e6));
        int line = static_cast<int>(k % 8);
        levels[line] = !levels[line];
        char key[16];
        snprintf(key, sizeof(key), "addon.in%d", line + 1);
        {
            std::lock_guard<std::mutex> lock(EdgeMutex);
            Pending[line].push_back({Now(), !levels[line]});
        }
        simBoard_SetLive(key, levels[line] ? "1" : "0", err, sizeof(err));
    }
    *done = true;
}
}

int main(int argc, char** argv)
{
    BenchOptions options;
    int exitCode = 0;
    if (!ParseBenchOptions(argc, argv, Usage, &options, &exitCode)) return exitCode;
    le_log_SetStderr(false);
    le_clk_SetMode(LE_CLK_REAL);
    char err[128];
    if (!simBoard_LoadPreset("addon", err, sizeof(err)) || !simBoard_Set("addon.board", "8i", err, sizeof(err)))
    {
        fprintf(stderr, "bench_addon: %s\n", err);
        return 1;
    }
    simBoard_Install();
    InitUC(1);
    dhub_AdminPush("settings/addon_type", "4");
    le_event_RunUntilIdle();
    void* watch = dhub_AddWatch("addon/input", OnPush, nullptr);

    printf("edges/s  edges  pushed  lost  median ms  worst ms  CPU %% of one core\n");
    for (double rate : {50.0, 100.0, 200.0, 500.0, 1000.0, 2000.0})
    {
        {
            std::lock_guard<std::mutex> lock(EdgeMutex);
            Latencies.clear();
            Pushed = 0;
            Lost = 0;
        }
        std::atomic<bool> done{false};
        double cpuBefore = ProcessCpuSeconds();
        double start = Now();
        std::thread toggler(Toggler, rate, options.seconds, &done);
        while (!done) ServeLoopFor(0.05);
        ServeLoopFor(0.2);   // the last edges' pushes
        toggler.join();
        double elapsed = Now() - start;
        double cpu = ProcessCpuSeconds() - cpuBefore;
        std::lock_guard<std::mutex> lock(EdgeMutex);
        for (std::deque<Toggle>& q : Pending)
        {
            Lost += static_cast<long>(q.size());
            q.clear();
        }
        std::vector<double> sorted = Latencies;
        std::sort(sorted.begin(), sorted.end());
        double median = sorted.empty() ? 0 : sorted[sorted.size() / 2];
        double worst = sorted.empty() ? 0 : sorted.back();
        printf("%7.0f  %5ld  %6ld  %4ld  %9.3f  %8.3f  %5.1f\n", rate, static_cast<long>(rate * options.seconds),
               Pushed, Lost, median * 1000, worst * 1000, 100 * cpu / elapsed);
    }
    dhub_RemoveWatch(watch);
    return 0;
}
