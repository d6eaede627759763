// What converter measurements cost the rest of the gateway: veltrona on the converter board and the
// real clock, all four channels published every second at 16 bits, while a client calls the
// le_ExtAdc service (a call served on the main loop that takes no lock) every 5 ms. Prints the
// longest and the 99th-percentile round trip of those calls (a main loop waiting on a measurement
// shows as a long round trip) and the interval at which each channel's values come.
#include "bench_support.h"
#include "le_ExtAdc_client.h"
#include "le_log.h"
#include "le_msg.h"
#include "pa_socket.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
void Usage(FILE* to)
{
    fprintf(to,
            "Usage: bench_measure_loop [--seconds N] [--veltrona PATH]\n"
            "Runs veltrona on the simulated converter board (real clock) with its four channels published\n"
            "every second at 16 bits, and for N seconds (default 3; 20 gives steadier figures) calls\n"
            "le_ExtAdc SetInterval every 5 ms. Prints the longest and the 99th-percentile round trip of\n"
            "those calls, and each channel's mean and longest interval between two values.\n");
}

bool Push(int fd, const std::string& path, const std::string& value)
{
    std::string request = "PUSH\t" + path + "\t" + value + "\n", buffer, reply;
    return pa_socket_SendAll(fd, request.data(), request.size()) && ReadLine(fd, &buffer, &reply, 5) && reply == "OK";
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}
}

int main(int argc, char** argv)
{
    BenchOptions options;
    int exitCode = 0;
    if (!ParseBenchOptions(argc, argv, Usage, &options, &exitCode)) return exitCode;
    le_log_SetGlobalFilterLevel(LE_LOG_WARN);
    std::string rt = MakeRunDirectory("bench_measure_loop");
    if (rt.empty()) return 1;
    pid_t pid = StartProgram(options.veltrona, {"--scenario", "converter", "--clock", "real", "--runtime-dir", rt,
                                                "--log-level", "warning"},
                             rt + "/console.log");
    if (pid < 0) return 1;
    le_msg_SetServiceDirectory((rt + "/services").c_str());
    if (!ConnectWithin(le_ExtAdc_TryConnectService, 30))
    {
        fprintf(stderr, "bench_measure_loop: veltrona did not come up with le_ExtAdc\n");
        kill(pid, SIGKILL);
        return 1;
    }
    int admin = ConnectUnixSocket(rt + "/datahub.sock");
    int watch = ConnectUnixSocket(rt + "/datahub.sock");
    std::string watchBuffer, line;
    const char request[] = "WATCH\tuc_input\n";
    bool ready = admin >= 0 && watch >= 0 && pa_socket_SendAll(watch, request, sizeof(request) - 1) &&
                 ReadLine(watch, &watchBuffer, &line, 5);
    for (int n = 1; ready && n <= 4; n++)
    {
        std::string channel = "uc_input" + std::to_string(n) + "/";
        ready = Push(admin, channel + "period", "1") && Push(admin, channel + "enable", "true");
    }
    if (!ready)
    {
        fprintf(stderr, "bench_measure_loop: the channels could not be set up\n");
        kill(pid, SIGKILL);
        return 1;
    }

    // The watcher notes when each channel's values arrive.
    std::map<std::string, std::vector<double>> arrivals;
    bool watching = true;
    std::thread watcher([&] {
        std::string l;
        while (watching)
        {
            if (!ReadLine(watch, &watchBuffer, &l, 0.2)) continue;
            size_t tab = l.find('\t', 5);
            if (l.compare(0, 5, "PUSH\t") == 0 && tab != std::string::npos) arrivals[l.substr(5, tab - 5)].push_back(Now());
        }
    });
    usleep(2500 * 1000);   // the first round of measurements is under way
    std::vector<double> trips;
    double cpuBefore = CpuSeconds(pid);
    double start = Now();
    while (Now() - start < options.seconds)
    {
        double before = Now();
        le_ExtAdc_SetInterval(10000);
        trips.push_back(1000 * (Now() - before));
        usleep(5000);
    }
    double cpu = CpuSeconds(pid) - cpuBefore;
    watching = false;
    watcher.join();

    printf("%zu le_ExtAdc calls in %.1f s while four channels measure at 16 bits every second:\n", trips.size(),
           options.seconds);
    printf("  round trip: longest %.2f ms, 99th percentile %.2f ms, median %.2f ms\n",
           *std::max_element(trips.begin(), trips.end()), Percentile(trips, 0.99), Percentile(trips, 0.5));
    for (const auto& a : arrivals)
    {
        const std::vector<double>& t = a.second;
        if (t.size() < 3) continue;
        double longest = 0;
        for (size_t i = 1; i < t.size(); i++) longest = std::max(longest, t[i] - t[i - 1]);
        printf("  %s: %zu values, every %.2f s on average, longest gap %.2f s (period 1 s)\n", a.first.c_str(), t.size(),
               (t.back() - t.front()) / static_cast<double>(t.size() - 1), longest);
    }
    printf("  veltrona %.1f %% of one core\n", 100 * cpu / options.seconds);
    le_ExtAdc_DisconnectService();
    close(admin);
    close(watch);
    kill(pid, SIGINT);
    waitpid(pid, nullptr, 0);
    if (system(("rm -rf '" + rt + "'").c_str()) != 0) fprintf(stderr, "could not remove %s\n", rt.c_str());
    return 0;
}
