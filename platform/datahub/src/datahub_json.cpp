// JSON text for values, as the tools and the cloud link write it.
#include "datahub_admin.h"

#include <cstdio>
#include <cstring>

std::string dhub_JsonString(const std::string& raw)
{
    std::string out = "\"";
    for (unsigned char c : raw)
    {
        if (c == '"' || c == '\\')
        {
            out += '\\';
            out += static_cast<char>(c);
        }
        else if (c < 0x20 || c == 0x7F)
        {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\u%04X", c);
            out += hex;
        }
        else
        {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

namespace
{
// A recursive-descent check of one JSON value at p; nesting is bounded so that no text can
// exhaust the stack.
struct JsonChecker
{
    const char* p;
    int depth = 0;

    void Space()
    {
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') p++;
    }
    bool Literal(const char* word)
    {
        size_t n = strlen(word);
        if (strncmp(p, word, n) != 0) return false;
        p += n;
        return true;
    }
    bool Digits()
    {
        if (*p < '0' || *p > '9') return false;
        while (*p >= '0' && *p <= '9') p++;
        return true;
    }
    bool Number()
    {
        if (*p == '-') p++;
        if (*p == '0') p++;
        else if (!Digits()) return false;
        if (*p == '.' && (++p, !Digits())) return false;
        if (*p == 'e' || *p == 'E')
        {
            p++;
            if (*p == '+' || *p == '-') p++;
            if (!Digits()) return false;
        }
        return true;
    }
    bool String()
    {
        if (*p++ != '"') return false;
        for (;;)
        {
            unsigned char c = static_cast<unsigned char>(*p++);
            if (c == '"') return true;
            if (c < 0x20) return false;   // the end of the text, or a raw control character
            if (c != '\\') continue;
            c = static_cast<unsigned char>(*p++);
            if (c == 'u')
            {
                for (int i = 0; i < 4; i++, p++)
                {
                    if (!strchr("0123456789abcdefABCDEF", *p) || *p == '\0') return false;
                }
            }
            else if (!strchr("\"\\/bfnrt", c) || c == '\0')
            {
                return false;
            }
        }
    }
    bool Value()
    {
        if (++depth > 64) return false;
        Space();
        bool ok;
        if (*p == '{' || *p == '[')
        {
            char close = *p == '{' ? '}' : ']';
            bool object = *p++ == '{';
            Space();
            if (*p != close)
            {
                for (;;)
                {
                    if (object)
                    {
                        Space();
                        if (!String()) return false;
                        Space();
                        if (*p++ != ':') return false;
                    }
                    if (!Value()) return false;
                    Space();
                    if (*p != ',') break;
                    p++;
                }
            }
            if (*p != close) return false;
            p++;
            ok = true;
        }
        else if (*p == '"')
        {
            ok = String();
        }
        else
        {
            ok = Literal("true") || Literal("false") || Literal("null") || Number();
        }
        depth--;
        return ok;
    }
};
}

bool dhub_IsJson(const char* text)
{
    if (text == nullptr) return false;
    JsonChecker c{text};
    if (!c.Value()) return false;
    c.Space();
    return *c.p == '\0';
}
