// The pseudo-terminal a simulated device sits behind.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct SimPty
{
    int master = -1;
    int keepSlave = -1;   // held open so the line stays up (and raw) while the device's user reopens it
};

// Opens a raw pty pair and copies the slave's path; false (nothing left open) on failure.
bool simPty_Open(SimPty* pty, char* slavePath, size_t slavePathSize);
void simPty_Close(SimPty* pty);
// Writes everything to the master side, waiting while the line is full, until running turns false.
void simPty_WriteAll(const SimPty* pty, const uint8_t* p, size_t n, const std::atomic<bool>& running);
// Monotonic milliseconds.
uint64_t simPty_NowMs(void);
