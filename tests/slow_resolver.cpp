// A name resolver that never answers for one name, preloaded into a program under test: the
// lookup of "slow.resolver.test" takes 10 s and then fails, as a resolver that does not answer
// would. Every other name goes to the real resolver.
#include <dlfcn.h>
#include <netdb.h>
#include <string.h>
#include <unistd.h>

extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** res)
{
    using Real = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node != nullptr && strcmp(node, "slow.resolver.test") == 0)
    {
        sleep(10);
        return EAI_AGAIN;
    }
    return real(node, service, hints, res);
}
