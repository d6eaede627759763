// The four services the component offers: identity (name, protocol identifier, largest message)
// and the advertise calls used by the component's initialiser. Operation tables are filled in as
// each service's operations are built; until then a request is logged and not answered.
#pragma once

#include "le_ipcService.h"

extern const le_ipc_ServiceDef_t le_EnOcean_ServiceDef;
extern const le_ipc_ServiceDef_t le_ExtAdc_ServiceDef;
extern const le_ipc_ServiceDef_t le_ExtAdcAddON_ServiceDef;
extern const le_ipc_ServiceDef_t le_EModbus_ServiceDef;

void le_EnOcean_AdvertiseService(void);
void le_ExtAdc_AdvertiseService(void);
void le_ExtAdcAddON_AdvertiseService(void);
void le_EModbus_AdvertiseService(void);

// The service reference once advertised (NULL before).
le_msg_ServiceRef_t le_EnOcean_GetServiceRef(void);
le_msg_ServiceRef_t le_ExtAdc_GetServiceRef(void);
le_msg_ServiceRef_t le_ExtAdcAddON_GetServiceRef(void);
le_msg_ServiceRef_t le_EModbus_GetServiceRef(void);
