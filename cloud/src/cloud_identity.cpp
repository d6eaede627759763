#include "cloud_identity.h"

#include "le_log.h"
#include "pa_path.h"
#include "pa_text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

bool cloud_ValidIdentity(const std::string& identity)
{
    if (identity.empty() || identity.size() > 64 || identity[0] == '-') return false;
    for (char c : identity)
    {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    }
    return true;
}

le_result_t cloud_LoadIdentity(const char* file, std::string* identity, std::string* reason)
{
    FILE* f = fopen(file, "r");
    if (f != nullptr)
    {
        char line[128] = {};
        bool read = fgets(line, sizeof(line), f) != nullptr;
        fclose(f);
        std::string text(line, strcspn(line, "\r\n"));
        if (!read || !cloud_ValidIdentity(text))
        {
            *reason = "the identity file " + std::string(file) +
                      " holds no valid identity (1 to 64 of a-z, 0-9 and '-'); mend or remove it";
            return LE_FAULT;
        }
        *identity = text;
        return LE_OK;
    }
    if (errno != ENOENT)
    {
        *reason = "cannot read the identity file " + std::string(file) + ": " + strerror(errno);
        return LE_FAULT;
    }
    std::string digits;
    if (!pa_text_RandomHex(6, &digits))
    {
        *reason = std::string("no random bytes for a new identity: ") + strerror(errno);
        return LE_FAULT;
    }
    std::string made = "gw-" + digits + "\n";
    if (pa_fs_WriteFileAtomic(file, made.data(), made.size()) != LE_OK)
    {
        *reason = "cannot write the identity file " + std::string(file);
        return LE_FAULT;
    }
    identity->assign(made, 0, made.size() - 1);
    LE_INFO("Cloud link: this gateway's identity is %s, kept in %s", identity->c_str(), file);
    return LE_OK;
}
