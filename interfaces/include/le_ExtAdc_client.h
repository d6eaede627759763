// Client library of the le_ExtAdc service (the base board's converter) and of the le_ExtAdcAddON
// service (the add-on board's), for other applications on the module. Both offer the same
// operations under their own prefix; one session per service and process, used from the thread
// that connected (events arrive on that thread's loop).
#pragma once

#include "le_basics.h"

#include <cstddef>

// Channel bits (IOT_ADC): setters take combinations, GetValue exactly one.
#define LE_EXTADC_ADC1 1u
#define LE_EXTADC_ADC2 2u
#define LE_EXTADC_ADC3 4u
#define LE_EXTADC_ADC4 8u
// Alert edges.
#define LE_EXTADC_EDGE_NORMAL 0u
#define LE_EXTADC_EDGE_LOW 1u
#define LE_EXTADC_EDGE_HIGH 2u

typedef void (*le_ExtAdc_ValueHandlerFunc_t)(uint32_t sensor, uint16_t rawData, double percentage,
                                             double convertedValue, void* contextPtr);
typedef void (*le_ExtAdc_AlertHandlerFunc_t)(uint32_t sensor, uint32_t edge, uint16_t rawData, double percentage,
                                             double convertedValue, void* contextPtr);
typedef struct le_ExtAdc_ClientHandler* le_ExtAdc_HandlerRef_t;

// Every operation answers LE_CLOSED without a session. GetValue asks only for the outputs given
// (NULL ones are not sent back). The add-handler calls return NULL without a session or when the
// converter is not started on this board.
#define LE_EXTADC_CLIENT_API(P)                                                                                  \
    le_result_t P##_TryConnectService(void);                                                                    \
    void P##_ConnectService(void);                                                                              \
    void P##_DisconnectService(void);                                                                           \
    /* Called (once) when the service closes the session. */                                                    \
    void P##_SetDisconnectHandler(void (*handler)(void* contextPtr), void* contextPtr);                         \
    le_result_t P##_SetDeviceAddress(uint32_t pins);                                                            \
    le_result_t P##_SetGain(uint32_t channelMask, uint32_t gain);                                               \
    le_result_t P##_SetConversionSpeed(uint32_t speed);                                                         \
    le_result_t P##_SetFileDescriptor(const char* path);                                                        \
    le_result_t P##_GetValue(uint32_t channel, uint16_t* rawDataPtr, double* percentagePtr,                     \
                             double* convertedValuePtr);                                                        \
    le_result_t P##_SetInterval(uint32_t intervalMs);                                                           \
    le_result_t P##_MeasureNow(void);                                                                           \
    le_result_t P##_SetConverter(uint32_t channelMask, double min, double max);                                 \
    le_result_t P##_SetInterface(uint32_t channelMask, uint32_t interfaceType);                                 \
    le_result_t P##_SetEdges(uint32_t channelMask, double low, double high, double hysteresis);                 \
    le_result_t P##_MutexLock(void);                                                                            \
    le_result_t P##_MutexUnlock(void);                                                                          \
    le_ExtAdc_HandlerRef_t P##_AddOnValueHandler(uint32_t channelMask, le_ExtAdc_ValueHandlerFunc_t handler,     \
                                                 void* contextPtr);                                             \
    void P##_RemoveOnValueHandler(le_ExtAdc_HandlerRef_t handlerRef);                                           \
    le_ExtAdc_HandlerRef_t P##_AddOnAlertHandler(uint32_t channelMask, le_ExtAdc_AlertHandlerFunc_t handler,     \
                                                 void* contextPtr);                                             \
    void P##_RemoveOnAlertHandler(le_ExtAdc_HandlerRef_t handlerRef);

LE_EXTADC_CLIENT_API(le_ExtAdc)
LE_EXTADC_CLIENT_API(le_ExtAdcAddON)
