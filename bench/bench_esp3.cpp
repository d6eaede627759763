// EnOcean gateway under a full serial line: runs the real veltrona on the gateway board with its
// serial port on a pty, feeds radio telegrams of registered sensors at the 460800-baud line rate,
// counts the decoded data pushes through the Data Hub admin socket, and reports frames lost, the
// gateway's CPU time and its peak resident memory. With --cloud the gateway also publishes to a
// mosquitto broker of the benchmark's own: values published and lost, then the time to drain an
// outbox of 10,000 values once the broker, stopped meanwhile, is back.
#include "bench_support.h"
#include "mqtt_broker.h"
#include "sim_esp3.h"
#include "pa_socket.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <algorithm>
#include <fstream>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
const double LineBytesPerSecond = 460800.0 / 10.0;   // 8N1: ten bits a byte

void Usage(FILE* out)
{
    fprintf(out,
            "Usage: bench_esp3 [--seconds N] [--veltrona PATH] [--log-level LEVEL] [--keep] [--cloud]\n"
            "Feeds ESP3 telegrams at 460800 baud to a running veltrona and prints telegrams sent and\n"
            "decoded, frames lost, the gateway's CPU seconds and peak RSS.\n"
            "  --seconds N      how long to feed (default 10)\n"
            "  --cloud          with the cloud link to a mosquitto broker started here: values published\n"
            "                   and lost, and the time to drain an outbox of 10,000 values\n"
            "  --veltrona PATH  the program to measure (default: the one built beside this benchmark)\n"
            "  --log-level L    the gateway's log level (default info, as deployed)\n"
            "  --keep           keep the runtime directory (its log is veltrona.log)\n");
}

// A numeric resource's value through the admin socket; -1 when it cannot be read.
double GetNumber(const std::string& socketPath, const std::string& path)
{
    int fd = ConnectUnixSocket(socketPath);
    if (fd < 0) return -1;
    std::string request = "GET\t" + path + "\n", buffer, reply;
    double value = -1;
    if (pa_socket_SendAll(fd, request.data(), request.size()) && ReadLine(fd, &buffer, &reply, 2) &&
        reply.compare(0, 3, "OK\t") == 0)
    {
        size_t f = 0;
        for (int i = 0; i < 4 && f != std::string::npos; i++) f = reply.find('\t', f + 1);
        if (f != std::string::npos) value = atof(reply.c_str() + f + 1);
    }
    close(fd);
    return value;
}

// Writes telegrams of the scripted sensors to the line at its rate: every 5 ms, as many whole frames
// as the elapsed time allows, until the seconds have passed or done() says so.
struct Feed
{
    int master;
    size_t sensorCount;
    unsigned step = 0;
    long sent = 0;
    double bytes = 0;

    double Run(double seconds, const std::function<bool()>& done)
    {
        double start = Now();
        double budget = 0;
        double last = start;
        std::vector<uint8_t> out;
        while (Now() - start < seconds && !done())
        {
            double now = Now();
            budget += (now - last) * LineBytesPerSecond;
            last = now;
            out.clear();
            for (;;)
            {
                uint8_t frame[128];
                size_t n = simEsp3_SensorFrame(step % sensorCount, step / sensorCount, frame, sizeof(frame));
                if (budget < n) break;
                budget -= n;
                bytes += n;
                out.insert(out.end(), frame, frame + n);
                step++;
                sent++;
            }
            size_t off = 0;
            while (off < out.size())
            {
                ssize_t w = write(master, out.data() + off, out.size() - off);
                if (w > 0)
                {
                    off += static_cast<size_t>(w);
                    continue;
                }
                if (errno != EINTR && errno != EAGAIN) break;
                struct pollfd p = {master, POLLOUT, 0};
                poll(&p, 1, 5);
            }
            // Drain what the gateway writes (START characters every 2 s).
            uint8_t junk[256];
            while (read(master, junk, sizeof(junk)) > 0)
            {
            }
            usleep(5000);
        }
        return Now() - start;
    }
};

// The seconds the link took to deliver its outbox, from its log line; -1 when it has not said.
double DrainSeconds(const std::string& logFile, long* values)
{
    std::ifstream f(logFile);
    std::string line;
    double seconds = -1;
    const std::string mark = "Cloud link: the outbox is delivered (";
    while (std::getline(f, line))
    {
        size_t at = line.find(mark);
        if (at == std::string::npos) continue;
        if (sscanf(line.c_str() + at + mark.size(), "%ld values in %lf s", values, &seconds) != 2) seconds = -1;
    }
    return seconds;
}
}

int main(int argc, char** argv)
{
    BenchOptions options;
    options.seconds = 10;
    options.offersLogOptions = true;
    options.offersCloud = true;
    int exitCode = 0;
    if (!ParseBenchOptions(argc, argv, Usage, &options, &exitCode)) return exitCode;
    const double seconds = options.seconds;
    const std::string& veltrona = options.veltrona;
    const bool keep = options.keep;
    const std::string& logLevel = options.logLevel;

    std::string rt = MakeRunDirectory("bench_esp3");
    if (rt.empty()) return 1;
    mkdir((rt + "/userrw").c_str(), 0700);

    // Every scripted sensor is registered, enabled (the default) and has its profile set, so each
    // telegram gives one data push.
    size_t sensorCount = 0;
    const SimEsp3Sensor* sensors = simEsp3_Sensors(&sensorCount);
    {
        std::ofstream registry(rt + "/userrw/EnOcean.txt");
        std::ofstream settings(rt + "/datahub-settings.txt");
        for (size_t k = 0; k < sensorCount; k++)
        {
            char id[16];
            snprintf(id, sizeof(id), "E%08x", sensors[k].id);
            registry << id << "\n";
            settings << "sensors/" << id << "/eep\tstring\t" << sensors[k].eep << "\n";
        }
    }

    int master = -1, holdSlave = -1;
    std::string slave;
    if (!OpenRawPty(&master, &slave, &holdSlave))
    {
        perror("bench_esp3: pty");
        return 1;
    }

    MqttBroker broker;
    MqttClient subscriber;
    std::vector<std::string> extra;
    if (options.cloud)
    {
        std::string error;
        mkdir((rt + "/broker").c_str(), 0700);
        if (!broker.Start(rt + "/broker", false, false, &error) ||
            !subscriber.Connect(broker.Port(), "bench", false, "bench/sensors/+/data", &error))
        {
            fprintf(stderr, "bench_esp3: %s\n", error.c_str());
            return 1;
        }
        extra = {"--mqtt", broker.Url(), "--mqtt-prefix", "bench"};
    }

    std::string log = rt + "/console.log";
    pid_t pid = StartGateway(veltrona, rt, slave, logLevel, log, extra);
    if (pid < 0)
    {
        fprintf(stderr, "bench_esp3: cannot run %s\n", veltrona.c_str());
        return 1;
    }

    // Wait until the last sensor's branch exists, then watch the data pushes.
    char lastId[16];
    snprintf(lastId, sizeof(lastId), "E%08x", sensors[sensorCount - 1].id);
    std::string socketPath = rt + "/datahub.sock";
    int watch = -1;
    std::string buffer, line;
    for (double end = Now() + 30; Now() < end && watch < 0; usleep(50000))
    {
        int fd = ConnectUnixSocket(socketPath);
        if (fd < 0) continue;
        std::string get = std::string("GET\tsensors/") + lastId + "/data\n";
        std::string reply;
        if (pa_socket_SendAll(fd, get.data(), get.size()) && ReadLine(fd, &buffer, &reply, 2) &&
            reply.compare(0, 3, "OK\t") == 0)
        {
            watch = fd;
        }
        else
        {
            close(fd);
        }
        buffer.clear();
    }
    if (watch < 0)
    {
        fprintf(stderr, "bench_esp3: the gateway did not come up; see %s\n", log.c_str());
        kill(pid, SIGKILL);
        return 1;
    }
    const char request[] = "WATCH\tsensors/\n";
    pa_socket_SendAll(watch, request, sizeof(request) - 1);
    ReadLine(watch, &buffer, &line, 5);   // "OK"

    std::atomic<long> decoded{0};
    std::atomic<bool> watching{true};
    std::thread counter([&] {
        std::string l;
        bool ended = false;
        // A pause in the pushes (the gateway busy elsewhere) is waited through, not taken for the end.
        while (watching && !ended)
        {
            if (!ReadLine(watch, &buffer, &l, 0.2, &ended)) continue;
            size_t tab = l.find('\t', 5);
            if (l.compare(0, 5, "PUSH\t") == 0 && tab != std::string::npos && l.compare(tab - 5, 5, "/data") == 0)
                decoded++;
        }
    });

    double cpuStart = CpuSeconds(pid);
    Feed feed{master, sensorCount};
    double fed = feed.Run(seconds, [] { return false; });
    long sent = feed.sent;
    double bytesSent = feed.bytes;

    for (double end = Now() + 5; Now() < end && decoded < sent;) usleep(20000);
    double cpu = CpuSeconds(pid) - cpuStart;
    long rss = PeakRssKb(pid);
    watching = false;
    counter.join();

    // The link: what reached the broker's subscriber, then an outage filling the outbox.
    long published = 0;
    double drain = -1, reconnect = -1;
    long drained = 0, backlog = 0;
    if (options.cloud)
    {
        subscriber.WaitFor([&](const std::vector<MqttMessage>& ms) { return static_cast<long>(ms.size()) >= sent; }, 10);
        published = static_cast<long>(subscriber.Messages().size());
        broker.Stop();
        subscriber.Clear();
        const std::string depth = "platform/cloud/outbox/depth";
        feed.Run(60, [&] { return GetNumber(socketPath, depth) >= 10000; });
        for (double end = Now() + 3; Now() < end && GetNumber(socketPath, depth) < feed.sent - sent;) usleep(100000);
        backlog = static_cast<long>(GetNumber(socketPath, depth));
        std::string error;
        double back = Now();
        if (!broker.Start(rt + "/broker", false, false, &error)) fprintf(stderr, "bench_esp3: %s\n", error.c_str());
        for (double end = Now() + 120; Now() < end && GetNumber(socketPath, depth) != 0;) usleep(20000);
        reconnect = Now() - back;
        drain = DrainSeconds(rt + "/veltrona.log", &drained);
    }

    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    close(watch);
    close(master);
    if (holdSlave >= 0) close(holdSlave);

    printf("telegrams sent: %ld in %.1f s (%.0f per second, %.0f bytes/s; the line carries %.0f)\n", sent, fed,
           sent / fed, bytesSent / fed, LineBytesPerSecond);
    printf("telegrams decoded: %ld\n", decoded.load());
    printf("frames lost: %ld\n", sent - decoded.load());
    printf("gateway CPU: %.2f s (%.1f%% of one core)\n", cpu, 100.0 * cpu / fed);
    printf("gateway peak RSS: %.1f MiB\n", rss / 1024.0);
    if (options.cloud)
    {
        printf("values published to the broker: %ld (%.0f per second)\n", published, published / fed);
        printf("values lost on the way to the broker: %ld\n", sent - published);
        printf("outbox after the broker was stopped: %ld values; back to 0 %.1f s after the broker came back\n",
               backlog, reconnect);
        if (drain >= 0) printf("outbox drain: %ld values in %.2f s once connected (%.0f per second)\n", drained, drain, drained / std::max(drain, 0.001));
    }
    if (keep) printf("runtime directory kept: %s\n", rt.c_str());
    else if (system(("rm -rf '" + rt + "'").c_str()) != 0) fprintf(stderr, "bench_esp3: could not remove %s\n", rt.c_str());
    return sent == decoded && (!options.cloud || sent == published) ? 0 : 1;
}
