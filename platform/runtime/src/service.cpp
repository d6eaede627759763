// Which client services of the framework can be connected to: all, unless told otherwise.
#include "pa_service.h"

#include <mutex>
#include <set>
#include <string>

namespace
{
std::mutex ServiceMutex;
std::set<std::string> Unavailable;
}

void pa_service_SetAvailable(const char* serviceName, bool available)
{
    std::lock_guard<std::mutex> lock(ServiceMutex);
    if (available) Unavailable.erase(serviceName);
    else Unavailable.insert(serviceName);
}

bool pa_service_IsAvailable(const char* serviceName)
{
    std::lock_guard<std::mutex> lock(ServiceMutex);
    return Unavailable.count(serviceName) == 0;
}
