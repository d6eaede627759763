// Availability of the framework services the component connects to as a client ("le_atClient",
// "le_rtc", "le_pm", "le_appCtrl", "io", "le_gpioPin8", ...). All are available unless a
// scenario or a test says otherwise; TryConnectService then returns LE_UNAVAILABLE.
#pragma once

#include "le_basics.h"

void pa_service_SetAvailable(const char* serviceName, bool available);
bool pa_service_IsAvailable(const char* serviceName);
