// The component's entry point, called when the framework loads the component.
#include "legato.h"
#include "VeltronaComponent.h"
#include "veltrona_services.h"

le_log_SessionRef_t VeltronaComponent_LogSession = nullptr;
le_log_Level_t* VeltronaComponent_LogLevelFilterPtr = nullptr;

namespace
{
void RunInitOnce(void*, void*)
{
    _VeltronaComponent_COMPONENT_INIT_ONCE();
}

void RunInit(void*, void*)
{
    _VeltronaComponent_COMPONENT_INIT();
}
}

void _VeltronaComponent_Init(void)
{
    LE_DEBUG("Initializing VeltronaComponent component library.");

    le_ExtAdc_AdvertiseService();
    le_ExtAdcAddON_AdvertiseService();
    le_EnOcean_AdvertiseService();
    le_EModbus_AdvertiseService();

    le_atClient_ConnectService();
    io_ConnectService();
    le_rtc_ConnectService();
    le_appCtrl_ConnectService();
    le_pm_ConnectService();

    VeltronaComponent_LogSession = le_log_RegComponent("VeltronaComponent", &VeltronaComponent_LogLevelFilterPtr);

    le_event_QueueFunction(RunInitOnce, nullptr, nullptr);
    le_event_QueueFunction(RunInit, nullptr, nullptr);
}
