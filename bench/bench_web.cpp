// The web view's stream: a module pin of the simulated board toggled through the control socket,
// each edge timed until its push arrives as an event of veltrona-web's stream, as a page gets it.
#include "bench_support.h"
#include "sim_process.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
void Usage(FILE* to)
{
    fprintf(to,
            "Usage: bench_web [--seconds N]\n"
            "Runs veltrona on the add-on board with native inputs (type 1; the skipping clock only\n"
            "shortens the start-up, a pin is pushed as it changes) and veltrona-web beside it, toggles\n"
            "module pin 42 every 50 ms for N seconds (default 3) through the board's control socket\n"
            "and prints the edges that reached the page's event stream, the time from a pin change to\n"
            "its event (median, 99th percentile and worst) and the CPU veltrona-web used.\n");
}

// One request line on a Unix socket, its first answer line back.
std::string Ask(const std::string& socket, const std::string& request)
{
    int fd = ConnectUnixSocket(socket);
    if (fd < 0) return "";
    std::string buffer, line;
    std::string sent = request + "\n";
    if (write(fd, sent.data(), sent.size()) != static_cast<ssize_t>(sent.size()) || !ReadLine(fd, &buffer, &line, 5)) line.clear();
    close(fd);
    return line;
}

const std::string Event = "data: {\"path\":\"addon/input1\",";
}

int main(int argc, char** argv)
{
    BenchOptions options;
    int exitCode = 0;
    if (!ParseBenchOptions(argc, argv, Usage, &options, &exitCode)) return exitCode;
    std::string dir = MakeRunDirectory("bench_web");
    if (dir.empty()) return 1;
    pid_t gateway = StartProgram(options.veltrona, {"--scenario", "addon", "--clock", "skip", "--runtime-dir", dir}, dir + "/veltrona.out");
    const int port = simProcess_FreePort();
    pid_t web = StartProgram(WEB_BIN, {"--runtime-dir", dir, "--listen", "127.0.0.1:" + std::to_string(port)},
                             dir + "/web.out");
    std::string admin = dir + "/datahub.sock", control = dir + "/simboard.sock";
    bool ready = false;
    for (int i = 0; i < 200 && !ready; i++, usleep(50000))
    {
        ready = Ask(control, "SET\tgpio.42\t1") == "OK" && Ask(admin, "PUSH\tsettings/addon_type\t1") == "OK" &&
                Ask(admin, "GET\taddon/input1").rfind("OK\tboolean", 0) == 0;
    }
    if (!ready || gateway < 0 || web < 0)
    {
        fprintf(stderr, "bench_web: the gateway or the web view did not start (see %s)\n", dir.c_str());
        return 1;
    }

    // The stream, read as a page reads it; each edge's event matched to the time of its change.
    std::mutex mutex;
    std::vector<double> changedAt;   // time of edge n
    std::vector<double> latencies;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(5, 0);
        std::string pending;
        while (!done)
        {
            client.Get("/api/events", [&](const char* data, size_t size) {
                pending.append(data, size);
                for (size_t end; (end = pending.find("\n\n")) != std::string::npos; pending.erase(0, end + 2))
                {
                    double now = Now();
                    if (pending.rfind(Event, 0) != 0) continue;
                    std::lock_guard<std::mutex> lock(mutex);
                    if (latencies.size() < changedAt.size()) latencies.push_back(now - changedAt[latencies.size()]);
                }
                return !done.load();
            });
        }
    });
    usleep(500000);   // the stream is open
    double end = Now() + options.seconds;
    for (int level = 0; Now() < end; level ^= 1)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            changedAt.push_back(Now());
        }
        Ask(control, "SET\tgpio.42\t" + std::to_string(level));
        usleep(50000);
    }
    usleep(500000);
    done = true;
    reader.join();
    double webCpu = CpuSeconds(web);
    kill(web, SIGTERM);
    kill(gateway, SIGTERM);
    simProcess_Wait(web, 10000);
    simProcess_Wait(gateway, 10000);

    std::sort(latencies.begin(), latencies.end());
    printf("edges: %zu changed, %zu reached the stream\n", changedAt.size(), latencies.size());
    if (!latencies.empty())
    {
        auto at = [&](double q) { return latencies[std::min(latencies.size() - 1, static_cast<size_t>(q * latencies.size()))] * 1000; };
        printf("pin change to event: median %.1f ms, 99th percentile %.1f ms, worst %.1f ms\n", at(0.5), at(0.99),
               latencies.back() * 1000);
    }
    printf("veltrona-web CPU: %.2f s in all\n", webCpu);
    return latencies.size() == changedAt.size() ? 0 : 1;
}
