// The bus probe every add-on register access starts with: the slave at 0x53 answers on a bus that
// is there. A bus that is not there forces a restart of the module.
#pragma once

#include "legato.h"

#define BUS_PROBE_ADDRESS 0x53

// Runs the system's forced restart ("/sbin/reboot -f"); when the command returns, the caller goes on.
void RebootModule(void);
// Selects the probe slave on the open bus descriptor and reads one byte from it into byteBuf:
// "I2C BUS OK." when it answers, else "I2C BUS not presented" (no selection) or "I2C Address Error"
// (no byte) and a restart. The descriptor's slave selection is left on the probe.
void ProbeBus(int fd, uint8_t* byteBuf);
