// Serial ports over termios.
#pragma once

#include "le_basics.h"

typedef enum
{
    LE_TTY_SPEED_0 = 0, LE_TTY_SPEED_50, LE_TTY_SPEED_75, LE_TTY_SPEED_110, LE_TTY_SPEED_134,
    LE_TTY_SPEED_150, LE_TTY_SPEED_200, LE_TTY_SPEED_300, LE_TTY_SPEED_600, LE_TTY_SPEED_1200,
    LE_TTY_SPEED_1800,
    LE_TTY_SPEED_2400 = 11, LE_TTY_SPEED_4800, LE_TTY_SPEED_9600, LE_TTY_SPEED_19200,
    LE_TTY_SPEED_38400, LE_TTY_SPEED_57600, LE_TTY_SPEED_115200, LE_TTY_SPEED_230400,
    LE_TTY_SPEED_460800 = 19
}
le_tty_Speed_t;

typedef enum
{
    LE_TTY_FLOW_CONTROL_NONE,
    LE_TTY_FLOW_CONTROL_XON_XOFF,
    LE_TTY_FLOW_CONTROL_HARDWARE
}
le_tty_FlowControl_t;

// Opens the device (path mapped by the platform) with open() flags; -1 on failure (logged).
int le_tty_Open(const char* path, int flags);
void le_tty_Close(int fd);
// LE_OUT_OF_RANGE for a code that is not a speed; LE_FAULT when the port refuses.
le_result_t le_tty_SetBaudRate(int fd, le_tty_Speed_t speed);
le_result_t le_tty_GetBaudRate(int fd, le_tty_Speed_t* speedPtr);
// Baud rate of a speed code, 0 when the code is not a speed.
uint32_t le_tty_SpeedToBaud(le_tty_Speed_t speed);
// parity 'N', 'O' or 'E'; 5 to 8 data bits; 1 or 2 stop bits.
le_result_t le_tty_SetFraming(int fd, char parity, int wordSize, int stopBits);
le_result_t le_tty_SetFlowControl(int fd, le_tty_FlowControl_t flowControl);
// Raw mode; numChars and timeout are VMIN and VTIME.
le_result_t le_tty_SetRaw(int fd, int numChars, int timeout);
