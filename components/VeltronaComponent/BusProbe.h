// The bus probe every add-on register access starts with: the slave at 0x53 answers on a bus that
// is there. A bus that is not there forces a restart of the module, within bounds: each restart is
// recorded, and past a few within an hour the bus is given up instead of restarting for ever.
#pragma once

#include "legato.h"

#define BUS_PROBE_ADDRESS 0x53
// Where restarts are recorded, one line each: seconds since 1970, then the reason. It lives on the
// writable flash, so that it outlasts the restarts it counts.
#define REBOOT_RECORD_PATH "/mnt/userrw/VeltronaReboots.txt"
// Restarts allowed within the window before the bus is given up.
#define REBOOT_LIMIT 3
#define REBOOT_WINDOW_S 3600

// Runs the system's forced restart ("/sbin/reboot -f") for the reason given, at most once in a
// run and at most REBOOT_LIMIT times in REBOOT_WINDOW_S (as recorded); past that, or when the
// restart cannot be recorded, it logs that the bus is given up and the caller goes on.
void RebootModule(const char* reason);
// Selects the probe slave on the open bus descriptor and reads one byte from it into byteBuf:
// "I2C BUS OK." when it answers, else "I2C BUS not presented" (no selection) or "I2C Address Error"
// (no byte) and a restart. The descriptor's slave selection is left on the probe.
void ProbeBus(int fd, uint8_t* byteBuf);
// Whether the bus device at path opens and its probe slave answers; never restarts anything.
// A reason for a refusal is logged.
bool BusAnswers(const char* path);
