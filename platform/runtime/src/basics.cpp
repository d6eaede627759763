#include "le_basics.h"

const char* LE_RESULT_TXT(le_result_t result)
{
    switch (result)
    {
        case LE_OK: return "LE_OK";
        case LE_NOT_FOUND: return "LE_NOT_FOUND";
        case LE_NOT_POSSIBLE: return "LE_NOT_POSSIBLE";
        case LE_OUT_OF_RANGE: return "LE_OUT_OF_RANGE";
        case LE_NO_MEMORY: return "LE_NO_MEMORY";
        case LE_NOT_PERMITTED: return "LE_NOT_PERMITTED";
        case LE_FAULT: return "LE_FAULT";
        case LE_COMM_ERROR: return "LE_COMM_ERROR";
        case LE_TIMEOUT: return "LE_TIMEOUT";
        case LE_OVERFLOW: return "LE_OVERFLOW";
        case LE_UNDERFLOW: return "LE_UNDERFLOW";
        case LE_WOULD_BLOCK: return "LE_WOULD_BLOCK";
        case LE_DEADLOCK: return "LE_DEADLOCK";
        case LE_FORMAT_ERROR: return "LE_FORMAT_ERROR";
        case LE_DUPLICATE: return "LE_DUPLICATE";
        case LE_BAD_PARAMETER: return "LE_BAD_PARAMETER";
        case LE_CLOSED: return "LE_CLOSED";
        case LE_BUSY: return "LE_BUSY";
        case LE_UNSUPPORTED: return "LE_UNSUPPORTED";
        case LE_IO_ERROR: return "LE_IO_ERROR";
        case LE_NOT_IMPLEMENTED: return "LE_NOT_IMPLEMENTED";
        case LE_UNAVAILABLE: return "LE_UNAVAILABLE";
        case LE_TERMINATED: return "LE_TERMINATED";
    }
    return "(unknown result)";
}
