// Basic types and result codes shared by the whole runtime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdbool>

typedef enum
{
    LE_OK = 0,
    LE_NOT_FOUND = -1,
    LE_NOT_POSSIBLE = -2,
    LE_OUT_OF_RANGE = -3,
    LE_NO_MEMORY = -4,
    LE_NOT_PERMITTED = -5,
    LE_FAULT = -6,
    LE_COMM_ERROR = -7,
    LE_TIMEOUT = -8,
    LE_OVERFLOW = -9,
    LE_UNDERFLOW = -10,
    LE_WOULD_BLOCK = -11,
    LE_DEADLOCK = -12,
    LE_FORMAT_ERROR = -13,
    LE_DUPLICATE = -14,
    LE_BAD_PARAMETER = -15,
    LE_CLOSED = -16,
    LE_BUSY = -17,
    LE_UNSUPPORTED = -18,
    LE_IO_ERROR = -19,
    LE_NOT_IMPLEMENTED = -20,
    LE_UNAVAILABLE = -21,
    LE_TERMINATED = -22
}
le_result_t;

typedef enum
{
    LE_ON = 1,
    LE_OFF = 0
}
le_onoff_t;

// Name of a result code ("LE_OK", "LE_FAULT", ...).
const char* LE_RESULT_TXT(le_result_t result);

#define LE_UNUSED(v) ((void)(v))
