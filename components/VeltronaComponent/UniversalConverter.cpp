#include "UniversalConverter.h"
#include "BusProbe.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fcntl.h>
#include <mutex>

MinMaxADC MinMaxADC1, MinMaxADC2, MinMaxADC3, MinMaxADC4;
EdgeADC EdgeADC1, EdgeADC2, EdgeADC3, EdgeADC4;
uint32_t Saved1, Saved2, Saved3, Saved4;

struct ValueHandlerRecord
{
    uint8_t channelMask;
    le_ExtAdc_ValueHandlerFunc_t handler;
    void* context;
    ValueHandlerRecord* next;
};

struct AlertHandlerRecord
{
    uint8_t channelMask;
    le_ExtAdc_AlertHandlerFunc_t handler;
    void* context;
    AlertHandlerRecord* next;
};

namespace
{
const char* const DefaultBus = "/dev/i2c-5";
const uint8_t BusAddressBase = 0xD0;

struct Channel
{
    IOT_ADC value;
    uint8_t configBase;
    MinMaxADC* range;
    EdgeADC* edges;
    uint32_t* saved;
};

const Channel Channels[4] = {{ADC1, 0x80, &MinMaxADC1, &EdgeADC1, &Saved1},
                             {ADC2, 0xA0, &MinMaxADC2, &EdgeADC2, &Saved2},
                             {ADC3, 0xC0, &MinMaxADC3, &EdgeADC3, &Saved3},
                             {ADC4, 0xE0, &MinMaxADC4, &EdgeADC4, &Saved4}};

char FDescription[PA_PATH_MAX] = "/dev/i2c-5";
uint8_t DeviceAddress = 8;
std::atomic<uint32_t> ConversionSpeed{1};
std::atomic<uint32_t> Timer{10000};
std::atomic<bool> MeasureNow{false};
std::atomic<bool> IsLooperRunning{false};
std::atomic<bool> Started{false};
le_thread_Ref_t AppThreadRef = nullptr;
ValueHandlerRecord* Hndlers = nullptr;
AlertHandlerRecord* AlertHndlers = nullptr;
le_mem_PoolRef_t HandlersPool = nullptr;
le_mem_PoolRef_t AlertHandlersPool = nullptr;

// The lock exists from the first use on, so that setters called before StartUC are safe too.
le_mutex_Ref_t Key()
{
    static le_mutex_Ref_t key = le_mutex_CreateRecursive("Key");
    return key;
}

struct Locked
{
    Locked() { le_mutex_Lock(Key()); }
    ~Locked() { le_mutex_Unlock(Key()); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

void SetDefaults()
{
    for (const Channel& c : Channels)
    {
        *c.range = MinMaxADC{1, 0, 4.0, 20.0};
        *c.edges = EdgeADC{0.0, 1000.0, 10.0};
    }
}

// Static initialisation gives the same defaults StartUC sets.
const bool DefaultsSet = (SetDefaults(), true);

const Channel* ChannelOf(uint32_t value)
{
    for (const Channel& c : Channels)
    {
        if (c.value == value) return &c;
    }
    return nullptr;
}

bool RefusedBeforeStart(const char* what)
{
    if (Started) return false;
    LE_INFO("%s refused: the converter is not started on this board", what);
    return true;
}

// The averaged code of one measurement: seven conversions, a failed one counting as 0, ordered
// as signed 16-bit values (the chip's two's complement), the middle three averaged.
int16_t MeasureCode(uint8_t address, uint8_t config)
{
    int16_t readings[UC_CONVERSIONS] = {};
    for (int16_t& reading : readings)
    {
        uint8_t buffer[3] = {0, 0, 0x80};
        if (ReadW(address, config, buffer) == 1)
        {
            reading = static_cast<int16_t>(static_cast<uint16_t>((buffer[0] << 8) | buffer[1]));
        }
    }
    std::sort(readings, readings + UC_CONVERSIONS);
    double mean = (readings[2] + readings[3] + readings[4]) / 3.0;
    auto averaged = static_cast<int16_t>(std::lround(mean));   // halves away from zero
    LE_INFO("Results %d + %d + %d = %d", readings[2], readings[3], readings[4], averaged);
    return averaged;
}

// Caller holds Key: starts the looper thread unless it runs.
void StartLooper()
{
    if (IsLooperRunning) return;
    IsLooperRunning = true;
    AppThreadRef = le_thread_Create("AppThread", Looper, nullptr);
    le_thread_SetJoinable(AppThreadRef);
    le_thread_Start(AppThreadRef);
}

// Appends a handler record to its list and starts the looper unless it runs.
template <typename Record, typename Func>
Record* AddHandler(Record** head, le_mem_PoolRef_t pool, uint8_t channelMask, Func handler, void* contextPtr,
                   const char* what)
{
    if (handler == nullptr || RefusedBeforeStart(what)) return nullptr;
    Locked lock;
    auto* record = static_cast<Record*>(le_mem_ForceAlloc(pool));
    *record = Record{channelMask, handler, contextPtr, nullptr};
    Record** link = head;
    while (*link != nullptr) link = &(*link)->next;
    *link = record;
    StartLooper();
    return record;
}

// Unlinks and frees a handler record; when no handler is left, stops the looper and waits for its
// thread, without Key, which the looper may need to finish its pass.
template <typename Record>
void RemoveHandler(Record** head, Record* record)
{
    le_thread_Ref_t ended = nullptr;
    {
        Locked lock;
        Record** link = head;
        while (*link != nullptr && *link != record) link = &(*link)->next;
        if (*link == nullptr) return;
        *link = record->next;
        le_mem_Release(record);
        if (IsHandlerActive()) return;
        IsLooperRunning = false;
        ended = AppThreadRef;
        AppThreadRef = nullptr;
    }
    if (ended != nullptr) le_thread_Join(ended, nullptr);
}

// One pass's measurement of a channel, taken at most once however many handlers want it.
struct Reading
{
    bool measured = false;
    uint16_t raw = 0;
    double percentage = 0;
    double value = 0;
};

bool Measure(const Channel& c, Reading* r)
{
    if (!r->measured)
    {
        r->measured = le_ExtAdc_GetValue(c.value, &r->raw, &r->percentage, &r->value) == LE_OK;
    }
    return r->measured;
}

// The edge a value crosses from the stored state, or -1 for none (rules in order).
int EdgeFor(double v, const EdgeADC& e, uint32_t state)
{
    if (v > e.High && state != EDGE_HIGH) return EDGE_HIGH;
    if (v < e.Low && state != EDGE_LOW) return EDGE_LOW;
    if (state == EDGE_LOW && e.Low + e.Hysteresis <= v) return EDGE_NORMAL;
    if (state == EDGE_HIGH && e.High - e.Hysteresis >= v) return EDGE_NORMAL;
    return -1;
}

void RunPass()
{
    Locked lock;
    LE_INFO("LOOPER ON");
    Reading readings[4];
    LE_INFO("Get value trial");
    for (ValueHandlerRecord* h = Hndlers; h != nullptr; h = h->next)
    {
        for (size_t i = 0; i < 4; i++)
        {
            const Channel& c = Channels[i];
            if ((h->channelMask & c.value) && Measure(c, &readings[i]))
            {
                h->handler(c.value, readings[i].raw, readings[i].percentage, readings[i].value, h->context);
            }
        }
    }
    uint32_t newState[4];
    for (size_t i = 0; i < 4; i++) newState[i] = *Channels[i].saved;
    for (AlertHandlerRecord* h = AlertHndlers; h != nullptr; h = h->next)
    {
        for (size_t i = 0; i < 4; i++)
        {
            const Channel& c = Channels[i];
            if (!(h->channelMask & c.value) || !Measure(c, &readings[i])) continue;
            int edge = EdgeFor(readings[i].value, *c.edges, *c.saved);
            if (edge < 0) continue;
            h->handler(c.value, static_cast<Edges>(edge), readings[i].raw, readings[i].percentage, readings[i].value,
                       h->context);
            newState[i] = static_cast<uint32_t>(edge);
        }
    }
    for (size_t i = 0; i < 4; i++) *Channels[i].saved = newState[i];
    LE_INFO("LOOPER OFF");
}
}

//--------------------------------------------------------------------------------------------------
// Driver
//--------------------------------------------------------------------------------------------------
void StartUC(void)
{
    IsLooperRunning = false;
    Saved1 = Saved2 = Saved3 = Saved4 = 0;
    SetDefaults();
    ConversionSpeed = 1;
    Key();
    if (HandlersPool == nullptr) HandlersPool = le_mem_CreatePool("Hnd", sizeof(ValueHandlerRecord));
    if (AlertHandlersPool == nullptr) AlertHandlersPool = le_mem_CreatePool("AlertHnd", sizeof(AlertHandlerRecord));
    Timer = 10000;
    le_ExtAdc_SetFileDescriptor(DefaultBus);
    le_ExtAdc_SetDeviceAddress(1);
    Started = true;
}

uint8_t ReadW(uint8_t address, uint8_t config, uint8_t* buffer)
{
    char path[PA_PATH_MAX];
    {
        Locked lock;
        if (FDescription[0] == '\0') return 0;
        le_utf8_Copy(path, FDescription, sizeof(path), nullptr);
    }
    int fd = pa_i2c_Open(path, O_RDWR);
    if (fd < 0)
    {
        LE_INFO("I2C BUS not presented");
        RebootModule();
        return 0;
    }
    ProbeBus(fd, buffer);
    uint8_t result = 0;
    if (pa_i2c_Ioctl(fd, PA_I2C_SLAVE_FORCE, address) >= 0 && pa_i2c_Write(fd, &config, 1) == 1)
    {
        ssize_t got = 0;
        int polls = 0;
        while ((buffer[2] & 0x80) && polls < UC_POLL_LIMIT)
        {
            le_thread_SleepMs(UC_POLL_MS);
            got = pa_i2c_Read(fd, buffer, 3);
            polls++;
        }
        if (buffer[2] & 0x80)
        {
            LE_INFO("Conversion not ready after %d reads; counted as failed", UC_POLL_LIMIT);
        }
        else
        {
            result = got == 3 ? 1 : 0;
        }
    }
    pa_i2c_Close(fd);
    return result;
}

le_result_t le_ExtAdc_SetDeviceAddress(uint8_t index)
{
    static const struct
    {
        uint8_t offset;
        const char* text;
    } Addresses[4] = {{0, "68h"}, {8, "6Ch"}, {4, "6Ah"}, {12, "6Eh"}};
    if (index >= 4) return LE_BAD_PARAMETER;
    Locked lock;
    DeviceAddress = Addresses[index].offset;
    LE_INFO("%s", Addresses[index].text);
    return LE_OK;
}

void le_ExtAdc_SetInterface(uint8_t channelMask, uint32_t interfaceType)
{
    Locked lock;
    const char* last = nullptr;
    static const char* const Names[4] = {"ADC1 - %d", "ADC2 - %d", "ADC3 - %d", "ADC4 - %d"};
    for (size_t i = 0; i < 4; i++)
    {
        if (!(channelMask & Channels[i].value)) continue;
        Channels[i].range->InterfaceType = interfaceType;
        last = Names[i];
    }
    if (last != nullptr) LE_INFO(last, interfaceType & 0xFF);
}

le_result_t le_ExtAdc_SetGain(uint8_t channelMask, uint32_t gain)
{
    if (gain > 3)
    {
        LE_INFO("Gain code %u refused: the codes are 0 to 3", gain);
        return LE_BAD_PARAMETER;
    }
    Locked lock;
    for (const Channel& c : Channels)
    {
        if (channelMask & c.value) c.range->Gain = gain;
    }
    return LE_OK;
}

le_result_t le_ExtAdc_SetConversionSpeed(uint32_t speed)
{
    ConversionSpeed = speed;
    return LE_OK;
}

le_result_t le_ExtAdc_SetConverter(uint8_t channelMask, double min, double max)
{
    Locked lock;
    if (!(min < max)) return LE_BAD_PARAMETER;
    for (const Channel& c : Channels)
    {
        if (!(channelMask & c.value)) continue;
        c.range->Min = min;
        c.range->Max = max;
    }
    return LE_OK;
}

le_result_t le_ExtAdc_SetEdges(uint8_t channelMask, double low, double high, double hysteresis)
{
    Locked lock;
    if (!(low < high) || !(hysteresis < (high - low) / 2.0)) return LE_BAD_PARAMETER;
    for (const Channel& c : Channels)
    {
        if (channelMask & c.value) *c.edges = EdgeADC{low, high, hysteresis};
    }
    return LE_OK;
}

le_result_t le_ExtAdc_SetFileDescriptor(const char* path)
{
    Locked lock;
    le_utf8_Copy(FDescription, path ? path : "", sizeof(FDescription), nullptr);
    return LE_OK;
}

le_result_t le_ExtAdc_SetInterval(uint32_t intervalMs)
{
    Timer = intervalMs;
    return LE_OK;
}

void le_ExtAdc_MeasureNow(void)
{
    MeasureNow = true;
}

void le_ExtAdc_MutexLock(void)
{
    le_mutex_Lock(Key());
    LE_INFO("MUTEX ON");
}

void le_ExtAdc_MutexUnlock(void)
{
    LE_INFO("MUTEX OFF");
    le_mutex_Unlock(Key());
}

le_result_t le_ExtAdc_GetValue(IOT_ADC channel, uint16_t* rawDataPtr, double* percentagePtr,
                               double* convertedValuePtr)
{
    if (RefusedBeforeStart("Measurement")) return LE_UNAVAILABLE;
    Locked lock;
    const Channel* c = ChannelOf(channel);
    if (c == nullptr) return LE_BAD_PARAMETER;
    const MinMaxADC& range = *c->range;
    bool highResolution = ConversionSpeed == 1;
    auto config = static_cast<uint8_t>(c->configBase | (range.Gain & 0xFF) | (highResolution ? 0x08 : 0x00));
    const double fullScale = highResolution ? 32000.0 : 2000.0;
    const double liveZero = highResolution ? 6400.0 : 400.0;
    auto address = static_cast<uint8_t>((BusAddressBase | DeviceAddress) >> 1);

    int16_t code = MeasureCode(address, config);
    if (rawDataPtr) *rawDataPtr = static_cast<uint16_t>(code);
    double sign = code < 0 ? -1.0 : 1.0;
    double x = std::fabs(static_cast<double>(code));
    if (range.InterfaceType == 1 && liveZero > x)
    {
        if (percentagePtr) *percentagePtr = 0.0;
        return LE_UNDERFLOW;
    }
    if (x > fullScale)
    {
        if (percentagePtr) *percentagePtr = ((x - fullScale) / (fullScale - liveZero)) * 100.0 + 100.0;
        return LE_OVERFLOW;
    }
    double p = range.InterfaceType == 1 ? (x - liveZero) * 100.0 / (fullScale - liveZero) : x * 100.0 / fullScale;
    if (percentagePtr) *percentagePtr = sign * p;
    if (convertedValuePtr) *convertedValuePtr = (p / 100.0 * (range.Max - range.Min) + range.Min) * sign;
    return LE_OK;
}

//--------------------------------------------------------------------------------------------------
// Looper
//--------------------------------------------------------------------------------------------------
le_ExtAdc_ValueHandlerRef_t le_ExtAdc_AddOnValueHandler(uint8_t channelMask, le_ExtAdc_ValueHandlerFunc_t handler,
                                                        void* contextPtr)
{
    return AddHandler(&Hndlers, HandlersPool, channelMask, handler, contextPtr, "Value handler");
}

void le_ExtAdc_RemoveOnValueHandler(le_ExtAdc_ValueHandlerRef_t handlerRef)
{
    RemoveHandler(&Hndlers, handlerRef);
}

le_ExtAdc_AlertHandlerRef_t le_ExtAdc_AddOnAlertHandler(uint8_t channelMask, le_ExtAdc_AlertHandlerFunc_t handler,
                                                        void* contextPtr)
{
    return AddHandler(&AlertHndlers, AlertHandlersPool, channelMask, handler, contextPtr, "Alert handler");
}

void le_ExtAdc_RemoveOnAlertHandler(le_ExtAdc_AlertHandlerRef_t handlerRef)
{
    RemoveHandler(&AlertHndlers, handlerRef);
}

bool IsHandlerActive(void)
{
    Locked lock;
    return Hndlers != nullptr || AlertHndlers != nullptr;
}

bool UCLooperRunning(void)
{
    return IsLooperRunning;
}

void* Looper(void* contextPtr)
{
    LE_UNUSED(contextPtr);
    while (IsLooperRunning)
    {
        RunPass();
        if (!IsLooperRunning) break;
        // The sub-second part, then whole seconds; a measure-now request ends the wait at the end
        // of the second it came in.
        le_thread_SleepMs(Timer % 1000);
        for (uint32_t s = Timer / 1000; s > 0 && IsLooperRunning; s--)
        {
            le_thread_SleepMs(1000);
            if (MeasureNow.exchange(false)) break;
        }
    }
    return nullptr;
}
