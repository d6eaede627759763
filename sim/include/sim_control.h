// The control socket of a running simulated board, "simboard.sock" in the runtime directory, for
// the simboard tool. One request a line, tab-separated, one answer a line:
//   LIST               -> "KEY <key> <value>" for every key, then "END"
//   INPUTS             -> "KEY <key> <value> <use>" for what the devices on a running board
//                         may move (use "volts", "level", "register") or drive ("driven"),
//                         then "END"
//   GET <key>          -> "OK <value>" or "ERR <reason>"
//   SET <key> <value>  -> "OK" or "ERR <reason>" (what cannot change while running is refused)
#pragma once

#include "le_basics.h"

#define SIM_CONTROL_SOCKET "simboard.sock"

// Serves the socket from a thread of its own. LE_FAULT when it cannot listen.
le_result_t simControl_Start(const char* socketPath);
void simControl_Stop(void);
// The answer to one request line (for the server and for tests).
void simControl_Answer(const char* line, char* answer, size_t answerSize);
