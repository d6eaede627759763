#include "le_utf8.h"

#include <cstring>

namespace
{
// Length of the prefix of src (at most limit bytes) that ends on a character boundary.
size_t BoundedPrefix(const char* src, size_t srcLen, size_t limit)
{
    if (srcLen <= limit)
    {
        return srcLen;
    }
    size_t n = limit;
    // Back off continuation bytes so a multi-byte character is not cut in two.
    while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80)
    {
        n--;
    }
    return n;
}
}

le_result_t le_utf8_CopyN(char* destPtr, const char* srcPtr, size_t maxBytes, size_t destSize)
{
    if (destPtr == nullptr || destSize == 0)
    {
        return LE_OVERFLOW;
    }
    if (srcPtr == nullptr)
    {
        destPtr[0] = '\0';
        return LE_OK;
    }
    size_t srcLen = strnlen(srcPtr, maxBytes);
    size_t n = BoundedPrefix(srcPtr, srcLen, destSize - 1);
    memcpy(destPtr, srcPtr, n);
    destPtr[n] = '\0';
    return (n == srcLen) ? LE_OK : LE_OVERFLOW;
}

le_result_t le_utf8_Copy(char* destPtr, const char* srcPtr, size_t destSize, size_t* numBytesPtr)
{
    le_result_t r = le_utf8_CopyN(destPtr, srcPtr, SIZE_MAX, destSize);
    if (numBytesPtr != nullptr)
    {
        *numBytesPtr = (destSize > 0 && destPtr != nullptr) ? strlen(destPtr) : 0;
    }
    return r;
}

le_result_t le_utf8_Append(char* destPtr, const char* srcPtr, size_t destSize, size_t* destStrLenPtr)
{
    if (destPtr == nullptr || destSize == 0)
    {
        return LE_OVERFLOW;
    }
    size_t used = strnlen(destPtr, destSize - 1);
    size_t added = 0;
    le_result_t r = le_utf8_Copy(destPtr + used, srcPtr, destSize - used, &added);
    if (destStrLenPtr != nullptr)
    {
        *destStrLenPtr = used + added;
    }
    return r;
}

size_t le_utf8_CharLength(const char* p, size_t avail)
{
    if (p == nullptr || avail == 0) return 0;
    auto byte = [p](size_t i) { return static_cast<unsigned char>(p[i]); };
    unsigned char b0 = byte(0);
    if (b0 < 0x80) return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;   // bounds of the second byte (RFC 3629 table)
    if (b0 >= 0xC2 && b0 <= 0xDF) n = 2;
    else if (b0 >= 0xE0 && b0 <= 0xEF)
    {
        n = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;   // no surrogates
    }
    else if (b0 >= 0xF0 && b0 <= 0xF4)
    {
        n = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    }
    else return 0;
    if (avail < n || byte(1) < lo || byte(1) > hi) return 0;
    for (size_t i = 2; i < n; i++)
    {
        if ((byte(i) & 0xC0) != 0x80) return 0;
    }
    return n;
}
