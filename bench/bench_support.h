// Shared by the benchmarks that measure a running veltrona.
#pragma once

#include <string>
#include <sys/types.h>

double Now();
// CPU seconds (user + system) and peak resident set (KiB) of a process, from /proc.
double CpuSeconds(pid_t pid);
long PeakRssKb(pid_t pid);
// A raw pseudo-terminal: the master (non-blocking) and the slave's path; the slave is held open
// (holdSlave) so the line stays up and raw while the gateway opens it.
bool OpenRawPty(int* master, std::string* slave, int* holdSlave);
#include <vector>

// Starts veltrona with the arguments (after the program name), output to log; -1 on failure.
pid_t StartProgram(const std::string& veltrona, const std::vector<std::string>& args, const std::string& log);
// Starts veltrona on the gateway board with its EnOcean port on the given tty, output to log.
pid_t StartGateway(const std::string& veltrona, const std::string& runtimeDir, const std::string& tty,
                   const std::string& logLevel, const std::string& log);
