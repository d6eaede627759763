#include "veltrona_services.h"

#define VELTRONA_SERVICE(NAME, PROTOCOL, LARGEST)                                          \
    const le_ipc_ServiceDef_t NAME##_ServiceDef = {#NAME, PROTOCOL, LARGEST, nullptr, 0}; \
    static le_msg_ServiceRef_t NAME##_ServiceRef = nullptr;                               \
    void NAME##_AdvertiseService(void)                                                    \
    {                                                                                     \
        if (NAME##_ServiceRef == nullptr)                                                 \
        {                                                                                 \
            NAME##_ServiceRef = le_ipc_AdvertiseService(&NAME##_ServiceDef);              \
        }                                                                                 \
    }                                                                                     \
    le_msg_ServiceRef_t NAME##_GetServiceRef(void)                                        \
    {                                                                                     \
        return NAME##_ServiceRef;                                                         \
    }

VELTRONA_SERVICE(le_ExtAdc, "9ac2e62566cb30db0a204ce2dd39d54f", 216)
VELTRONA_SERVICE(le_ExtAdcAddON, "9ac2e62566cb30db0a204ce2dd39d54f", 216)
