// What the fuzz targets share: a quiet, virtual-clock runtime with a private directory, and a
// component serial port on a pseudo-terminal that a target writes its input into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Once per process: log to nowhere, the virtual clock, /mnt/userrw and /dev under a fresh
// private directory (returned), removed at exit.
const std::string& fuzz_Setup(void);

// Maps the module path (e.g. "/dev/ttyHS0") to the slave side of a new pseudo-terminal; false on
// failure. One port per process.
bool fuzz_OpenPort(const char* modulePath);
// Writes the bytes to the port and serves the loop until the component has read all of them
// and nothing is left to do; what the component wrote back is discarded.
void fuzz_Feed(const uint8_t* data, size_t size);
// Serves the loop until nothing is ready, discarding what the component wrote.
void fuzz_Settle(void);
