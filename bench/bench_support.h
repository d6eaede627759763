// Shared by the benchmarks that measure a running veltrona.
#pragma once

#include "le_basics.h"

#include <cstdio>
#include <string>
#include <sys/types.h>

double Now();
// CPU seconds (user + system) this process used so far.
double ProcessCpuSeconds();
// Serves this thread's event loop on the real clock for the seconds given.
void ServeLoopFor(double seconds);
// CPU seconds (user + system) and peak resident set (KiB) of a process, from /proc.
double CpuSeconds(pid_t pid);
long PeakRssKb(pid_t pid);
// A raw pseudo-terminal: the master (non-blocking) and the slave's path; the slave is held open
// (holdSlave) so the line stays up and raw while the gateway opens it.
bool OpenRawPty(int* master, std::string* slave, int* holdSlave);
#include <vector>

// A connection to a Unix socket (the admin socket), or -1.
int ConnectUnixSocket(const std::string& path);
// Reads one line (blocking, up to timeout seconds) from fd, keeping what follows it in buffer;
// false when none came, *endedPtr (if given) telling whether the stream ended.
bool ReadLine(int fd, std::string* buffer, std::string* line, double timeout, bool* endedPtr = nullptr);

// Starts veltrona with the arguments (after the program name), output to log; -1 on failure.
pid_t StartProgram(const std::string& veltrona, const std::vector<std::string>& args, const std::string& log);
// Starts veltrona on the gateway board with its EnOcean port on the given tty, output to log.
pid_t StartGateway(const std::string& veltrona, const std::string& runtimeDir, const std::string& tty,
                   const std::string& logLevel, const std::string& log, const std::vector<std::string>& extra = {});

// What every benchmark takes: --seconds N (positive) and --veltrona PATH, plus --keep and
// --log-level LEVEL where the benchmark offers them.
struct BenchOptions
{
    double seconds = 3;
    std::string veltrona;   // default: the program built beside the benchmarks
    bool offersLogOptions = false;
    bool keep = false;
    bool offersCloud = false;   // --cloud: with the cloud link to a broker of the benchmark's own
    bool cloud = false;
    std::string logLevel = "info";
};

// False with *exitCode set when the program should end: 0 after --help, 2 after bad input
// (the usage then goes to stderr).
bool ParseBenchOptions(int argc, char** argv, void (*usage)(FILE*), BenchOptions* options, int* exitCode);

// A fresh directory under /tmp for one run (bench is the benchmark's name); empty on failure.
std::string MakeRunDirectory(const char* bench);
// Tries connect until it answers LE_OK, for up to the given seconds.
bool ConnectWithin(le_result_t (*connect)(void), double seconds);
