#include "cloud_identity.h"

#include "le_log.h"
#include "pa_path.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/random.h>

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
    unsigned char random[6];
    if (getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random)))
    {
        *reason = std::string("no random bytes for a new identity: ") + strerror(errno);
        return LE_FAULT;
    }
    char made[32];
    snprintf(made, sizeof(made), "gw-%02x%02x%02x%02x%02x%02x\n", random[0], random[1], random[2], random[3], random[4],
             random[5]);
    if (pa_fs_WriteFileAtomic(file, made, strlen(made)) != LE_OK)
    {
        *reason = "cannot write the identity file " + std::string(file);
        return LE_FAULT;
    }
    identity->assign(made, strlen(made) - 1);
    LE_INFO("Cloud link: this gateway's identity is %s, kept in %s", identity->c_str(), file);
    return LE_OK;
}
