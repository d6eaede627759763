// Socket helpers shared by the IPC layer, the Data Hub admin server and the tools.
#pragma once

#include <cstddef>

// Sends every byte, waiting while a non-blocking socket is full; never raises SIGPIPE.
// False when the peer is gone or the socket fails.
bool pa_socket_SendAll(int fd, const void* data, size_t size);
