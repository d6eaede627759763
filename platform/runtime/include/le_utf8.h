// Bounded text copies that never split a UTF-8 sequence and always terminate the destination.
#pragma once

#include "le_basics.h"

// LE_OVERFLOW when the source did not fit (the destination then holds what fitted).
le_result_t le_utf8_Copy(char* destPtr, const char* srcPtr, size_t destSize, size_t* numBytesPtr);
le_result_t le_utf8_Append(char* destPtr, const char* srcPtr, size_t destSize, size_t* destStrLenPtr);
// Copies at most maxBytes of the source (fewer if a zero byte comes first), bounded by destSize.
le_result_t le_utf8_CopyN(char* destPtr, const char* srcPtr, size_t maxBytes, size_t destSize);
// Bytes of the well-formed UTF-8 character that starts at p (at most avail bytes are looked at);
// 0 when the bytes there are not one (a stray continuation, an over-long or cut sequence, ...).
size_t le_utf8_CharLength(const char* p, size_t avail);
