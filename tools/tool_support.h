// What the service tools share: hex bytes in and out, numeric options, the service directory and
// serving the loop for a while.
#pragma once

#include "le_basics.h"

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

// Hex digit pairs, optionally separated by spaces, ':', ',' or '-'; false for anything else.
bool ParseHex(const std::string& text, std::vector<uint8_t>* out);
// Prints the bytes as hex digits (spaced: a space between two bytes, as ParseHex reads them),
// without a line end.
void PrintHex(const uint8_t* data, size_t size, bool spaced = false);
// A whole, non-negative decimal number; false for anything else.
bool ParseCount(const char* text, long* out);
// A non-negative number of seconds (fractions allowed).
bool ParseSeconds(const char* text, double* out);
// Uses the directory (when given) for the service sockets; prints why not and returns false.
bool UseServiceDirectory(const char* tool, const std::string& dir);
// The runtime directory (the default when *dir is empty, which is then filled in), checked to be
// private to the user; prints why not and returns false.
bool UsableRuntimeDir(const char* tool, std::string* dir);
// Serves the main loop until a handler stops it or, when timeout >= 0, the time runs out: 3 then,
// or 0 when running out the time was all that was asked (timeoutIsFailure false).
int ServeLoopFor(double timeout, bool timeoutIsFailure);
// Opens the tool's session with tryConnect. A service that does not answer yet (veltrona still
// starting up) is waited for, with one line saying so, for timeout seconds (30 when negative).
// Each call then waits for its answer for timeout seconds (10 when not positive).
// 0 once connected, else the exit status with its message printed: 2 for a service that is not
// there or refuses, 3 when the wait ran out.
int ConnectTool(const char* tool, const char* service, le_result_t (*tryConnect)(void), double timeout);
// A call that got no answer, said on stderr: 3 when none came within the time-out (the tools'
// --timeout, else 10 s), 2 when the session ended; 0 for a call that was answered.
int CallFailure(const char* tool, const char* service, le_result_t r);
// A command line the tool cannot run: the usage when no command was given, else a line naming the
// unknown command or the command whose operands are wrong. Returns 2.
int UsageError(const char* tool, const std::vector<std::string>& args, bool knownCommand, void (*usage)(FILE*));
// A service's disconnect handler for the tools: notes that the service went away and ends the loop
// with status 2.
extern bool ServiceGone;
void StopOnServiceGone(void* contextPtr);

// The options the service tools share: --runtime-dir, --service-dir, --count, --timeout, --help.
struct ToolOptions
{
    std::string serviceDir;   // empty: the default
    long count = -1;          // -1: not given
    double timeout = -1;      // -1: not given
    std::vector<std::string> args;   // the command and its operands
};
// False when the tool should exit at once with *exitCode (0 after --help, 2 for a bad option or a
// runtime directory that is not private to the user).
bool ParseToolOptions(const char* tool, int argc, char** argv, void (*usage)(FILE*), ToolOptions* options,
                      int* exitCode);

// The Data Hub admin protocol's escaped text as it is (the text itself when it does not unescape).
std::string Unescaped(const std::string& text);
// One resource as a JSON object, from the fields of an admin answer; hasValue false gives the value
// as null.
std::string JsonRecord(const std::string& path, const std::string& kind, const std::string& type,
                       const std::string& units, bool hasValue, const std::string& value, const std::string& timestamp);

// A line-protocol client on a Unix socket (the Data Hub's admin socket, the simulated board's
// control socket).
class LineConnection
{
public:
    LineConnection() = default;
    ~LineConnection();
    LineConnection(const LineConnection&) = delete;
    LineConnection& operator=(const LineConnection&) = delete;
    // what names the peer in the message *err gets ("the Data Hub").
    bool Open(const std::string& path, const char* what, std::string* err);
    bool Send(const std::string& line);
    // 1: a line; 0: timed out; -1: connection ended. timeoutSeconds < 0 waits forever.
    int ReadLine(std::string* line, double timeoutSeconds);

private:
    int fd_ = -1;
    std::string buffer_;
};
// Seconds on a monotonic clock.
double NowSeconds();
