// The gateway program (or a tool) run as a child process, as the outside world sees it.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Starts path with the arguments (after the program name), standard output and error going to
// logPath (appended to, or truncated first); -1 on failure.
pid_t simProcess_Start(const std::string& path, const std::vector<std::string>& args, const std::string& logPath,
                       bool append);
// Exit status (128 + signal when killed), or -1 when it has not ended within timeoutMs.
int simProcess_Wait(pid_t pid, int timeoutMs);
// A TCP port on 127.0.0.1 that was free a moment ago, for a child to listen on; 0 when none.
int simProcess_FreePort();
