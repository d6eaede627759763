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
