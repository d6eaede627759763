#include "pa_text.h"

#include <sys/random.h>

std::vector<std::string> pa_text_Split(const std::string& text, char separator)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;)
    {
        size_t at = text.find(separator, start);
        if (at == std::string::npos)
        {
            fields.push_back(text.substr(start));
            return fields;
        }
        fields.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

bool pa_text_ParseUnsigned(const char* text, uint64_t* value)
{
    if (text == nullptr || *text == '\0') return false;
    uint64_t v = 0;
    for (const char* p = text; *p; p++)
    {
        if (*p < '0' || *p > '9') return false;
        unsigned digit = static_cast<unsigned>(*p - '0');
        if (v > (UINT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

bool pa_text_RandomHex(size_t bytes, std::string* hex)
{
    std::vector<unsigned char> random(bytes);
    if (getrandom(random.data(), bytes, 0) != static_cast<ssize_t>(bytes)) return false;
    static const char digits[] = "0123456789abcdef";
    hex->clear();
    for (unsigned char b : random)
    {
        *hex += digits[b >> 4];
        *hex += digits[b & 0xF];
    }
    return true;
}
