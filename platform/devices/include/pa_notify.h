// Service manager notification (the sd_notify datagram protocol): when the environment names a
// socket in NOTIFY_SOCKET, state lines such as "READY=1" or "STOPPING=1" are sent to it; otherwise
// nothing happens.
#pragma once

#include "le_basics.h"

// LE_OK when sent, LE_UNAVAILABLE without NOTIFY_SOCKET, LE_FAULT when it cannot be sent.
le_result_t pa_notify_Send(const char* state);
