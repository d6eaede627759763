#include "pa_text.h"

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
