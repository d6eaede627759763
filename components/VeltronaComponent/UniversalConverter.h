// External ADC driver and conversion (an MCP342x-class four-channel converter on I2C), and the
// measurement looper that serves value and alert handlers from its own thread.
#pragma once

#include "legato.h"

#include <atomic>
#include <mutex>

// Channels, one bit each; setters take a mask of several.
typedef enum
{
    ADC1 = 1,
    ADC2 = 2,
    ADC3 = 4,
    ADC4 = 8
}
IOT_ADC;

// Alert edges, and the alert state a channel is in after one.
typedef enum
{
    EDGE_NORMAL = 0,
    EDGE_LOW = 1,
    EDGE_HIGH = 2
}
Edges;

typedef struct
{
    uint32_t InterfaceType;   // 1: live zero (a fifth of full scale is 0 %); other: zero-based
    uint32_t Gain;            // PGA code 0 to 3 (x1, x2, x4, x8)
    double Min;               // ConvertedValue at 0 %
    double Max;               // ConvertedValue at 100 %
}
MinMaxADC;

typedef struct
{
    double Low;
    double High;
    double Hysteresis;
}
EdgeADC;

typedef void (*le_ExtAdc_ValueHandlerFunc_t)(IOT_ADC channel, uint16_t rawData, double percentage,
                                             double convertedValue, void* contextPtr);
typedef void (*le_ExtAdc_AlertHandlerFunc_t)(IOT_ADC channel, Edges edge, uint16_t rawData, double percentage,
                                             double convertedValue, void* contextPtr);
typedef struct ValueHandlerRecord* le_ExtAdc_ValueHandlerRef_t;
typedef struct AlertHandlerRecord* le_ExtAdc_AlertHandlerRef_t;

#define UC_POLL_MS 5           // wait between two reads of a conversion in progress
#define UC_POLL_LIMIT 40       // reads of a conversion that stays busy before it counts as failed
#define UC_CONVERSIONS 7       // one-shot conversions a measurement takes; the middle three count
#define UC_CONVERSIONS_MAX 7
#define UC_MIN_PASS_MS 100     // the shortest a looper pass and its wait together may take

//--------------------------------------------------------------------------------------------------
// The converter core. The base board's converter (le_ExtAdc_) and the add-on board's (le_ExtAdcAddON_)
// are two instances; each keeps its own settings, lock, handler lists and looper thread.
//--------------------------------------------------------------------------------------------------
typedef struct
{
    IOT_ADC value;
    uint8_t configBase;   // channel bits of the configuration byte, with the ready bit
    MinMaxADC* range;
    EdgeADC* edges;
    uint32_t* saved;      // the channel's alert state
}
ConverterChannel;

struct Converter
{
    Converter(const char* what, const ConverterChannel* channels, size_t channelCount, size_t samples,
              bool averageMiddle, bool waitEndsOnMeasureNow, void* (*looper)(void*))
        : what(what), channels(channels), channelCount(channelCount), samples(samples), averageMiddle(averageMiddle),
          waitEndsOnMeasureNow(waitEndsOnMeasureNow), looper(looper)
    {
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    const char* const what;   // "converter" or "add-on converter", in refusals
    const ConverterChannel* const channels;
    const size_t channelCount;
    const size_t samples;              // conversions a measurement takes
    const bool averageMiddle;          // the mean of the middle three (logged), else the median
    const bool waitEndsOnMeasureNow;   // a measure-now request cuts the looper's wait short
    void* (*const looper)(void*);      // the looper thread's function

    std::once_flag keyOnce;
    le_mutex_Ref_t key = nullptr;      // "Key", recursive
    char fDescription[PA_PATH_MAX] = "/dev/i2c-5";
    uint8_t deviceAddress = 8;
    std::atomic<uint32_t> conversionSpeed{1};
    std::atomic<uint32_t> timer{10000};
    std::atomic<bool> measureNow{false};
    std::atomic<bool> isLooperRunning{false};
    std::atomic<bool> started{false};
    le_thread_Ref_t appThreadRef = nullptr;   // the one looper thread, until it is joined
    bool looperEnded = false;                 // under the lock: the thread saw its stop and ends
    unsigned clientLocks = 0;                 // MutexLock calls not yet unlocked
    struct ValueHandlerRecord* hndlers = nullptr;
    struct AlertHandlerRecord* alertHndlers = nullptr;
    le_mem_PoolRef_t handlersPool = nullptr;
    le_mem_PoolRef_t alertHandlersPool = nullptr;
};

// Sets the defaults (16 bits, live-zero 4 to 20, edges 0 / 1000 / 10, "/dev/i2c-5" at 6Ch, looper
// interval 10 s, alert states 0) and creates the lock and pools once. Started again, it brings the
// settings back to these defaults under the lock and keeps its handlers, pools and running looper.
void ConverterStart(Converter* c);
uint8_t ConverterReadW(Converter* c, uint8_t address, uint8_t config, uint8_t* buffer);
le_result_t ConverterSetDeviceAddress(Converter* c, uint8_t index);
void ConverterSetInterface(Converter* c, uint8_t channelMask, uint32_t interfaceType);
le_result_t ConverterSetGain(Converter* c, uint8_t channelMask, uint32_t gain);
le_result_t ConverterSetConverter(Converter* c, uint8_t channelMask, double min, double max);
le_result_t ConverterSetEdges(Converter* c, uint8_t channelMask, double low, double high, double hysteresis);
le_result_t ConverterSetFileDescriptor(Converter* c, const char* path);
// The bus path a client gives: taken only when the bus opens and its probe slave answers, else
// LE_BAD_PARAMETER and the path in use stays.
le_result_t ConverterSetBus(Converter* c, const char* path);
void ConverterMutexLock(Converter* c);
void ConverterMutexUnlock(Converter* c);
le_result_t ConverterGetValue(Converter* c, uint32_t channel, uint16_t* rawDataPtr, double* percentagePtr,
                              double* convertedValuePtr);
struct ValueHandlerRecord* ConverterAddValueHandler(Converter* c, uint8_t channelMask,
                                                    le_ExtAdc_ValueHandlerFunc_t handler, void* contextPtr);
void ConverterRemoveValueHandler(Converter* c, struct ValueHandlerRecord* record);
struct AlertHandlerRecord* ConverterAddAlertHandler(Converter* c, uint8_t channelMask,
                                                    le_ExtAdc_AlertHandlerFunc_t handler, void* contextPtr);
void ConverterRemoveAlertHandler(Converter* c, struct AlertHandlerRecord* record);
bool ConverterHandlerActive(Converter* c);
// The looper thread's body: passes over the handlers, then the wait, until a pass finds it stopped.
void ConverterRunLooper(Converter* c);

// Sets the defaults (16 bits, live-zero 4 to 20, edges 0 / 1000 / 10, "/dev/i2c-5" at 6Ch,
// looper interval 10 s) and creates the lock and the handler pools. Until it has run, the module
// serves its setters from these defaults but refuses measurements and handlers (LE_UNAVAILABLE,
// NULL): on a board without the converter nothing may touch its bus.
void StartUC(void);
// One conversion: configuration byte written to the 7-bit address, then reads of three bytes
// every 5 ms while the ready bit (bit 7 of buffer[2], set by the caller) stays set. 1 when the
// conversion was read. Probes the bus (slave 0x53) first; a missing bus reboots the system.
uint8_t ReadW(uint8_t address, uint8_t config, uint8_t* buffer);

// The operations of one converter, declared here once for both instances: le_ExtAdc (the base
// board's converter) and le_ExtAdcAddON (the add-on board's).
//   SetGain: LE_BAD_PARAMETER (nothing stored) for a code above 3, which would change other bits
//     of the configuration byte.
//   SetConverter, SetEdges: LE_BAD_PARAMETER unless every value is finite, min < max, and for the
//     edges low < high and 0 <= hysteresis < (high - low) / 2.
//   SetFileDescriptor: LE_BAD_PARAMETER, and the bus in use stays, unless the bus opens and its
//     probe slave answers.
//   GetValue: measures one channel; each output may be NULL. LE_OK, LE_OVERFLOW, LE_UNDERFLOW,
//     LE_BAD_PARAMETER (not exactly one channel of the instance; nothing written), LE_IO_ERROR (too
//     few conversions read; nothing written), LE_UNAVAILABLE before the instance is started.
//   AddOnValueHandler, AddOnAlertHandler: handlers for the channels of the mask, served by the
//     looper thread "AppThread" while any is registered. NULL before the start or without a function.
//   MeasureNow: ends the looper's wait at the end of the second it comes in.
#define UC_DECLARE_OPERATIONS(P)                                                                                    \
    le_result_t P##_SetDeviceAddress(uint8_t index);                                                                \
    void P##_SetInterface(uint8_t channelMask, uint32_t interfaceType);                                             \
    le_result_t P##_SetGain(uint8_t channelMask, uint32_t gain);                                                    \
    le_result_t P##_SetConversionSpeed(uint32_t speed);                                                             \
    le_result_t P##_SetConverter(uint8_t channelMask, double min, double max);                                      \
    le_result_t P##_SetEdges(uint8_t channelMask, double low, double high, double hysteresis);                      \
    le_result_t P##_SetFileDescriptor(const char* path);                                                            \
    le_result_t P##_SetInterval(uint32_t intervalMs);                                                               \
    void P##_MeasureNow(void);                                                                                      \
    void P##_MutexLock(void);                                                                                       \
    void P##_MutexUnlock(void);                                                                                     \
    le_result_t P##_GetValue(IOT_ADC channel, uint16_t* rawDataPtr, double* percentagePtr,                          \
                             double* convertedValuePtr);                                                            \
    P##_ValueHandlerRef_t P##_AddOnValueHandler(uint8_t channelMask, le_ExtAdc_ValueHandlerFunc_t handler,          \
                                                void* contextPtr);                                                  \
    void P##_RemoveOnValueHandler(P##_ValueHandlerRef_t handlerRef);                                                \
    P##_AlertHandlerRef_t P##_AddOnAlertHandler(uint8_t channelMask, le_ExtAdc_AlertHandlerFunc_t handler,          \
                                                void* contextPtr);                                                  \
    void P##_RemoveOnAlertHandler(P##_AlertHandlerRef_t handlerRef);

// Their definitions for instance C, and the instance's start, conversion, handler test, looper body
// and looper state under the names given.
#define UC_DEFINE_OPERATIONS(P, C, Start, ReadConversion, HandlerActive, LooperBody, LooperRunning)                 \
    void Start(void) { ConverterStart(&C); }                                                                        \
    uint8_t ReadConversion(uint8_t address, uint8_t config, uint8_t* buffer)                                        \
    {                                                                                                               \
        return ConverterReadW(&C, address, config, buffer);                                                         \
    }                                                                                                               \
    bool HandlerActive(void) { return ConverterHandlerActive(&C); }                                                 \
    bool LooperRunning(void) { return C.isLooperRunning; }                                                          \
    void* LooperBody(void*)                                                                                         \
    {                                                                                                               \
        ConverterRunLooper(&C);                                                                                     \
        return nullptr;                                                                                             \
    }                                                                                                               \
    le_result_t P##_SetDeviceAddress(uint8_t index) { return ConverterSetDeviceAddress(&C, index); }                \
    void P##_SetInterface(uint8_t channelMask, uint32_t interfaceType)                                              \
    {                                                                                                               \
        ConverterSetInterface(&C, channelMask, interfaceType);                                                      \
    }                                                                                                               \
    le_result_t P##_SetGain(uint8_t channelMask, uint32_t gain) { return ConverterSetGain(&C, channelMask, gain); } \
    le_result_t P##_SetConversionSpeed(uint32_t speed)                                                              \
    {                                                                                                               \
        C.conversionSpeed = speed;                                                                                  \
        return LE_OK;                                                                                               \
    }                                                                                                               \
    le_result_t P##_SetConverter(uint8_t channelMask, double min, double max)                                       \
    {                                                                                                               \
        return ConverterSetConverter(&C, channelMask, min, max);                                                    \
    }                                                                                                               \
    le_result_t P##_SetEdges(uint8_t channelMask, double low, double high, double hysteresis)                       \
    {                                                                                                               \
        return ConverterSetEdges(&C, channelMask, low, high, hysteresis);                                           \
    }                                                                                                               \
    le_result_t P##_SetFileDescriptor(const char* path) { return ConverterSetBus(&C, path); }                       \
    le_result_t P##_SetInterval(uint32_t intervalMs)                                                                \
    {                                                                                                               \
        C.timer = intervalMs;                                                                                       \
        return LE_OK;                                                                                               \
    }                                                                                                               \
    void P##_MeasureNow(void) { C.measureNow = true; }                                                              \
    void P##_MutexLock(void) { ConverterMutexLock(&C); }                                                            \
    void P##_MutexUnlock(void) { ConverterMutexUnlock(&C); }                                                        \
    le_result_t P##_GetValue(IOT_ADC channel, uint16_t* rawDataPtr, double* percentagePtr,                          \
                             double* convertedValuePtr)                                                             \
    {                                                                                                               \
        return ConverterGetValue(&C, channel, rawDataPtr, percentagePtr, convertedValuePtr);                        \
    }                                                                                                               \
    P##_ValueHandlerRef_t P##_AddOnValueHandler(uint8_t channelMask, le_ExtAdc_ValueHandlerFunc_t handler,          \
                                                void* contextPtr)                                                   \
    {                                                                                                               \
        return ConverterAddValueHandler(&C, channelMask, handler, contextPtr);                                      \
    }                                                                                                               \
    void P##_RemoveOnValueHandler(P##_ValueHandlerRef_t handlerRef) { ConverterRemoveValueHandler(&C, handlerRef); } \
    P##_AlertHandlerRef_t P##_AddOnAlertHandler(uint8_t channelMask, le_ExtAdc_AlertHandlerFunc_t handler,          \
                                                void* contextPtr)                                                   \
    {                                                                                                               \
        return ConverterAddAlertHandler(&C, channelMask, handler, contextPtr);                                      \
    }                                                                                                               \
    void P##_RemoveOnAlertHandler(P##_AlertHandlerRef_t handlerRef) { ConverterRemoveAlertHandler(&C, handlerRef); }

UC_DECLARE_OPERATIONS(le_ExtAdc)
bool IsHandlerActive(void);
void* Looper(void* contextPtr);

// Module state, as the looper and the binding see it.
extern MinMaxADC MinMaxADC1, MinMaxADC2, MinMaxADC3, MinMaxADC4;
extern EdgeADC EdgeADC1, EdgeADC2, EdgeADC3, EdgeADC4;
extern uint32_t Saved1, Saved2, Saved3, Saved4;
// Whether the looper thread is meant to run.
bool UCLooperRunning(void);
