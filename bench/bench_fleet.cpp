// A fleet on the cloud link: N gateways (50 unless told), each the real veltrona with its own
// runtime directory and so its own identity, their sensors sending, against one mosquitto broker;
// then against two brokers bridged to each other, half the gateways on each and the subscriber on
// the first. Prints the messages a second the subscriber hears, each gateway's CPU and peak RSS,
// and whether every gateway's status and values arrived.
#include "bench_support.h"
#include "mqtt_broker.h"
#include "sim_process.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
void Usage(FILE* out)
{
    fprintf(out,
            "Usage: bench_fleet [--gateways N] [--seconds S] [--veltrona PATH]\n"
            "Starts N gateways (default 50) with the cloud link, their sensors sending a telegram every\n"
            "500 ms, against one mosquitto broker, then against two bridged brokers; measures for S\n"
            "seconds (default 10) each time.\n");
}

struct Gateway
{
    pid_t pid = -1;
    std::string identity;
    int broker = 0;
    double cpuAtStart = 0;
};

std::string ReadIdentity(const std::string& runtime)
{
    std::ifstream f(runtime + "/gateway-id.txt");
    std::string id;
    std::getline(f, id);
    return id;
}

void StopAll(std::vector<Gateway>* gateways)
{
    for (Gateway& g : *gateways)
    {
        if (g.pid > 0) kill(g.pid, SIGINT);
    }
    for (Gateway& g : *gateways)
    {
        if (g.pid > 0 && simProcess_Wait(g.pid, 15000) < 0)
        {
            kill(g.pid, SIGKILL);
            simProcess_Wait(g.pid, 5000);
        }
        g.pid = -1;
    }
}

// One run: the gateways split over the brokers (by index), the subscriber on the first. False when
// something did not come up.
bool Run(const BenchOptions& options, int count, std::vector<MqttBroker*> brokers, const std::string& dir)
{
    MqttClient subscriber;
    std::string error;
    if (!subscriber.Connect(brokers[0]->Port(), "fleet-subscriber", false, "veltrona/#", &error))
    {
        fprintf(stderr, "bench_fleet: subscriber: %s\n", error.c_str());
        return false;
    }
    std::vector<Gateway> gateways(static_cast<size_t>(count));
    double started = Now();
    for (int i = 0; i < count; i++)
    {
        Gateway& g = gateways[static_cast<size_t>(i)];
        g.broker = i % static_cast<int>(brokers.size());
        std::string runtime = dir + "/gw" + std::to_string(i);
        mkdir(runtime.c_str(), 0700);
        // The simulated board's ten sensors, learned already.
        mkdir((runtime + "/userrw").c_str(), 0700);
        std::ofstream registry(runtime + "/userrw/EnOcean.txt");
        for (const char* id : {"1", "2", "3", "4", "5", "6", "7", "8", "9", "a"}) registry << "E01a0000" << id << "\n";
        registry.close();
        g.pid = StartProgram(options.veltrona,
                             {"--scenario", "gateway", "--clock", "skip", "--runtime-dir", runtime, "--log-file", "none",
                              "--console-level", "warning", "--set", "esp3.period_ms=500", "--mqtt",
                              brokers[static_cast<size_t>(g.broker)]->Url()},
                             runtime + ".console");
        if (g.pid < 0)
        {
            fprintf(stderr, "bench_fleet: cannot start gateway %d\n", i);
            StopAll(&gateways);
            return false;
        }
    }
    // Online: each one's status, and a value of its own, heard at the subscriber.
    auto arrived = [&](const Gateway& g, const std::vector<MqttMessage>& ms, bool value) {
        const std::string head = "veltrona/" + g.identity + "/";
        return std::any_of(ms.begin(), ms.end(), [&](const MqttMessage& m) {
            return value ? m.topic.rfind(head + "sensors/", 0) == 0 : m.topic == head + "status" && m.payload == "online";
        });
    };
    bool allOnline = false;
    while (!allOnline && Now() - started < 120)
    {
        usleep(200000);
        std::vector<MqttMessage> ms = subscriber.Messages();
        allOnline = true;
        for (size_t i = 0; i < gateways.size(); i++)
        {
            if (gateways[i].identity.empty()) gateways[i].identity = ReadIdentity(dir + "/gw" + std::to_string(i));
            allOnline = allOnline && !gateways[i].identity.empty() && arrived(gateways[i], ms, false);
        }
    }
    double onlineAfter = Now() - started;
    for (Gateway& g : gateways) g.cpuAtStart = CpuSeconds(g.pid);
    size_t before = subscriber.Messages().size();
    double measureStart = Now();
    usleep(static_cast<useconds_t>(options.seconds * 1e6));
    std::vector<MqttMessage> ms = subscriber.Messages();
    double elapsed = Now() - measureStart;
    std::vector<double> cpu, rss;
    int complete = 0;
    for (const Gateway& g : gateways)
    {
        double share = (CpuSeconds(g.pid) - g.cpuAtStart) / elapsed * 100.0;
        double mib = static_cast<double>(PeakRssKb(g.pid)) / 1024.0;
        bool status = arrived(g, ms, false), values = arrived(g, ms, true);
        complete += status && values;
        cpu.push_back(share);
        rss.push_back(mib);
        printf("brokers %zu\tgateway %s\tbroker %d\tcpu %.2f %%\trss %.1f MiB\tstatus %s\tvalues %s\n", brokers.size(),
               g.identity.c_str(), g.broker + 1, share, mib, status ? "arrived" : "MISSING", values ? "arrived" : "MISSING");
    }
    std::sort(cpu.begin(), cpu.end());
    std::sort(rss.begin(), rss.end());
    printf("brokers %zu\t%d gateways %s after %.1f s\tsubscriber %.0f messages/s\tstatus and values of %d of %d "
           "gateways arrived\tgateway cpu median %.2f %% max %.2f %% of one core\trss median %.1f MiB max %.1f MiB\n",
           brokers.size(), count, allOnline ? "all online" : "NOT all online", onlineAfter,
           static_cast<double>(ms.size() - before) / elapsed, complete, count, cpu[cpu.size() / 2], cpu.back(),
           rss[rss.size() / 2], rss.back());
    fflush(stdout);
    subscriber.Disconnect();
    StopAll(&gateways);
    return allOnline && complete == count;
}
}

int main(int argc, char** argv)
{
    // --gateways is this benchmark's own; the rest are every benchmark's.
    int count = 50;
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; i++)
    {
        if (strcmp(argv[i], "--gateways") == 0 && i + 1 < argc)
        {
            count = atoi(argv[++i]);
            if (count < 2 || count > 500)
            {
                fprintf(stderr, "bench_fleet: --gateways takes 2 to 500\n");
                return 2;
            }
        }
        else
        {
            rest.push_back(argv[i]);
        }
    }
    BenchOptions options;
    options.seconds = 10;
    int exitCode = 0;
    if (!ParseBenchOptions(static_cast<int>(rest.size()), rest.data(), Usage, &options, &exitCode)) return exitCode;
    std::string dir = MakeRunDirectory("bench_fleet");
    if (dir.empty()) return 2;
    std::string error;
    bool ok = true;
    {
        MqttBroker one;
        mkdir((dir + "/one").c_str(), 0700);
        mkdir((dir + "/single").c_str(), 0700);
        if (!one.Start(dir + "/one", false, false, &error))
        {
            fprintf(stderr, "bench_fleet: broker: %s\n", error.c_str());
            return 2;
        }
        ok = Run(options, count, {&one}, dir + "/single") && ok;
    }
    {
        MqttBroker first, second;
        mkdir((dir + "/first").c_str(), 0700);
        mkdir((dir + "/second").c_str(), 0700);
        mkdir((dir + "/bridged").c_str(), 0700);
        if (!first.Start(dir + "/first", false, false, &error))
        {
            fprintf(stderr, "bench_fleet: broker: %s\n", error.c_str());
            return 2;
        }
        second.BridgeTo(first.Port());
        if (!second.Start(dir + "/second", false, false, &error))
        {
            fprintf(stderr, "bench_fleet: bridged broker: %s\n", error.c_str());
            return 2;
        }
        ok = Run(options, count, {&first, &second}, dir + "/bridged") && ok;
    }
    if (system(("rm -rf '" + dir + "'").c_str()) != 0) fprintf(stderr, "bench_fleet: %s left behind\n", dir.c_str());
    return ok ? 0 : 1;
}
