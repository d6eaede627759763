// Request handling shared by the table dispatcher and the interface server.
#pragma once

#include "le_ipcService.h"

#include <functional>

// Reads a request's message id. A message too short to hold one is released and its session
// closed; an id that is not served is logged ("unknown message id") and released unanswered.
// False in both cases.
bool pa_ipc_TakeMsgId(le_msg_MessageRef_t msgRef, const char* serviceName, const std::function<bool(uint32_t)>& served,
                      uint32_t* idPtr);
// A request that could not be unpacked: logged, released, and its session closed.
void pa_ipc_RejectRequest(le_msg_MessageRef_t msgRef, const char* serviceName, const char* operationName);
