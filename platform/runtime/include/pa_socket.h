// Socket helpers shared by the IPC layer, the Data Hub admin server and the tools.
#pragma once

#include <cstddef>

// Sends every byte, waiting while a non-blocking socket is full; never raises SIGPIPE.
// False when the peer is gone or the socket fails.
bool pa_socket_SendAll(int fd, const void* data, size_t size);

// A listening Unix stream socket at path (a file left there by an earlier run is replaced), private
// to the user (0600), non-blocking and close-on-exec. -1 with errno set on failure (ENAMETOOLONG
// for a path that does not fit).
int pa_socket_ListenUnix(const char* path, int backlog);
