// The four services the component offers and the advertise calls used by the component's
// initialiser, each served from its interface description (le_EnOcean_interface.h,
// le_ExtAdc_interface.h, le_EModbus_interface.h).
#pragma once

#include "le_ipcService.h"

void le_EnOcean_AdvertiseService(void);
void le_ExtAdc_AdvertiseService(void);
void le_ExtAdcAddON_AdvertiseService(void);
void le_EModbus_AdvertiseService(void);

// The service reference once advertised (NULL before).
le_msg_ServiceRef_t le_EnOcean_GetServiceRef(void);
// Receive handlers that le_EnOcean clients hold in the gateway.
size_t le_EnOcean_ClientHandlerCount(void);
le_msg_ServiceRef_t le_ExtAdc_GetServiceRef(void);
le_msg_ServiceRef_t le_ExtAdcAddON_GetServiceRef(void);
le_msg_ServiceRef_t le_EModbus_GetServiceRef(void);
// Receive handlers that le_EModbus clients hold in the link.
size_t le_EModbus_ClientHandlerCount(void);
