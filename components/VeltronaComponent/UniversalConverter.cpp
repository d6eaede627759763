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

const ConverterChannel Channels[4] = {{ADC1, 0x80, &MinMaxADC1, &EdgeADC1, &Saved1},
                                      {ADC2, 0xA0, &MinMaxADC2, &EdgeADC2, &Saved2},
                                      {ADC3, 0xC0, &MinMaxADC3, &EdgeADC3, &Saved3},
                                      {ADC4, 0xE0, &MinMaxADC4, &EdgeADC4, &Saved4}};

// The lock exists from the first use on, so that setters called before the start are safe too.
le_mutex_Ref_t KeyOf(Converter* c)
{
    std::call_once(c->keyOnce, [c] { c->key = le_mutex_CreateRecursive("Key"); });
    return c->key;
}

struct Locked
{
    explicit Locked(Converter* c) : key(KeyOf(c)) { le_mutex_Lock(key); }
    ~Locked() { le_mutex_Unlock(key); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    le_mutex_Ref_t key;
};

void SetDefaults(Converter* c)
{
    for (size_t i = 0; i < c->channelCount; i++)
    {
        *c->channels[i].range = MinMaxADC{1, 0, 4.0, 20.0};
        *c->channels[i].edges = EdgeADC{0.0, 1000.0, 10.0};
        *c->channels[i].saved = 0;
    }
}

const ConverterChannel* ChannelOf(Converter* c, uint32_t value)
{
    for (size_t i = 0; i < c->channelCount; i++)
    {
        if (c->channels[i].value == value) return &c->channels[i];
    }
    return nullptr;
}

bool RefusedBeforeStart(Converter* c, const char* what)
{
    if (c->started) return false;
    LE_INFO("%s refused: the %s is not started on this board", what, c->what);
    return true;
}

// The code of one measurement, from the conversions that were read: ordered as signed 16-bit
// values (the chip's two's complement), the middle ones averaged: three on the converter that
// averages (two when an even number was read), else the median (the mean of the middle two for an
// even number). A failed conversion takes no part; with fewer reads than a majority of the
// conversions there is no code, and the channel is named in the log with what came back.
bool MeasureCode(Converter* c, const ConverterChannel& ch, uint8_t address, uint8_t config, int16_t* code)
{
    int16_t readings[UC_CONVERSIONS_MAX] = {};
    size_t n = std::min<size_t>(c->samples, UC_CONVERSIONS_MAX);   // the buffer's bound, whatever the instance says
    size_t good = 0;
    for (size_t i = 0; i < n; i++)
    {
        uint8_t buffer[3] = {0, 0, 0x80};
        if (ConverterReadW(c, address, config, buffer) == 1)
        {
            readings[good++] = static_cast<int16_t>(static_cast<uint16_t>((buffer[0] << 8) | buffer[1]));
        }
    }
    if (good < n / 2 + 1)
    {
        LE_INFO("ADC%d not measured: %zu of %zu conversions read, the chip or the bus does not answer",
                static_cast<int>(&ch - c->channels) + 1, good, n);
        return false;
    }
    // Seven values at most: an insertion sort, ascending.
    for (size_t i = 1; i < good; i++)
    {
        int16_t v = readings[i];
        size_t j = i;
        for (; j > 0 && readings[j - 1] > v; j--) readings[j] = readings[j - 1];
        readings[j] = v;
    }
    size_t width = std::min<size_t>(c->averageMiddle ? 3 : 1, good);
    if ((good - width) % 2 != 0) width = width > 1 ? width - 1 : width + 1;   // centred on the middle
    const size_t first = (good - width) / 2;
    double sum = 0;
    for (size_t i = first; i < first + width; i++) sum += readings[i];
    *code = static_cast<int16_t>(std::lround(sum / static_cast<double>(width)));   // halves away from zero
    if (!c->averageMiddle) return true;
    if (width == 3)
        LE_INFO("Results %d + %d + %d = %d", readings[first], readings[first + 1], readings[first + 2], *code);
    else
        LE_INFO("Results %d + %d = %d", readings[first], readings[first + 1], *code);
    return true;
}

// Caller holds the lock: makes the looper run. A looper thread that is still there (waiting for
// the lock a client holds, or in its wait) carries on; one that has ended is joined (it holds the
// lock no more) and a new one started. So there is never more than one looper per converter.
void StartLooper(Converter* c)
{
    if (c->isLooperRunning) return;
    c->isLooperRunning = true;
    if (c->appThreadRef != nullptr && !c->looperEnded) return;
    if (c->appThreadRef != nullptr) le_thread_Join(c->appThreadRef, nullptr);
    c->looperEnded = false;
    c->appThreadRef = le_thread_Create("AppThread", c->looper, nullptr);
    le_thread_SetJoinable(c->appThreadRef);
    le_thread_Start(c->appThreadRef);
}

// Appends a handler record to its list and starts the looper unless it runs.
template <typename Record, typename Func>
Record* AddHandler(Converter* c, Record** head, le_mem_PoolRef_t pool, uint8_t channelMask, Func handler,
                   void* contextPtr, const char* what)
{
    if (handler == nullptr || RefusedBeforeStart(c, what)) return nullptr;
    Locked lock(c);
    auto* record = static_cast<Record*>(le_mem_ForceAlloc(pool));
    *record = Record{channelMask, handler, contextPtr, nullptr};
    Record** link = head;
    while (*link != nullptr) link = &(*link)->next;
    *link = record;
    StartLooper(c);
    return record;
}

// Caller holds the lock, and no client does: hands over the stopped looper's thread for joining.
le_thread_Ref_t TakeStoppedLooper(Converter* c)
{
    if (c->isLooperRunning || c->clientLocks > 0) return nullptr;
    le_thread_Ref_t stopped = c->appThreadRef;
    c->appThreadRef = nullptr;
    return stopped;
}

// Unlinks and frees a handler record; when no handler is left, stops the looper and waits for its
// thread, without the lock, which the looper may need to finish its pass. While a client holds the
// lock (MutexLock) the looper cannot get to its end: it is joined when the client unlocks, or
// carries on if a handler comes back first.
template <typename Record>
void RemoveHandler(Converter* c, Record** head, Record* record)
{
    le_thread_Ref_t stopped = nullptr;
    {
        Locked lock(c);
        Record** link = head;
        while (*link != nullptr && *link != record) link = &(*link)->next;
        if (*link == nullptr) return;
        *link = record->next;
        le_mem_Release(record);
        if (ConverterHandlerActive(c)) return;
        c->isLooperRunning = false;
        stopped = TakeStoppedLooper(c);
    }
    if (stopped != nullptr) le_thread_Join(stopped, nullptr);
}

// One pass's measurement of a channel, taken at most once however many handlers want it.
struct Reading
{
    bool measured = false;
    uint16_t raw = 0;
    double percentage = 0;
    double value = 0;
};

bool Measure(Converter* c, const ConverterChannel& ch, Reading* r)
{
    if (!r->measured)
    {
        r->measured = ConverterGetValue(c, ch.value, &r->raw, &r->percentage, &r->value) == LE_OK;
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

// One pass under the lock; false, and the looper ends, when it is no longer meant to run.
bool RunPass(Converter* c)
{
    Locked lock(c);
    if (!c->isLooperRunning)
    {
        c->looperEnded = true;
        return false;
    }
    LE_INFO("LOOPER ON");
    Reading readings[4];
    LE_INFO("Get value trial");
    for (ValueHandlerRecord* h = c->hndlers; h != nullptr; h = h->next)
    {
        for (size_t i = 0; i < c->channelCount; i++)
        {
            const ConverterChannel& ch = c->channels[i];
            if ((h->channelMask & ch.value) && Measure(c, ch, &readings[i]))
            {
                h->handler(ch.value, readings[i].raw, readings[i].percentage, readings[i].value, h->context);
            }
        }
    }
    uint32_t newState[4];
    for (size_t i = 0; i < c->channelCount; i++) newState[i] = *c->channels[i].saved;
    for (AlertHandlerRecord* h = c->alertHndlers; h != nullptr; h = h->next)
    {
        for (size_t i = 0; i < c->channelCount; i++)
        {
            const ConverterChannel& ch = c->channels[i];
            if (!(h->channelMask & ch.value) || !Measure(c, ch, &readings[i])) continue;
            int edge = EdgeFor(readings[i].value, *ch.edges, *ch.saved);
            if (edge < 0) continue;
            h->handler(ch.value, static_cast<Edges>(edge), readings[i].raw, readings[i].percentage, readings[i].value,
                       h->context);
            newState[i] = static_cast<uint32_t>(edge);
        }
    }
    for (size_t i = 0; i < c->channelCount; i++) *c->channels[i].saved = newState[i];
    LE_INFO("LOOPER OFF");
    return true;
}

}

Converter BaseConverter("converter", Channels, 4, UC_CONVERSIONS, true, true, Looper);

//--------------------------------------------------------------------------------------------------
// Converter core
//--------------------------------------------------------------------------------------------------
void ConverterStart(Converter* c)
{
    {
        Locked lock(c);
        SetDefaults(c);
        c->conversionSpeed = 1;
        if (c->handlersPool == nullptr) c->handlersPool = le_mem_CreatePool("Hnd", sizeof(ValueHandlerRecord));
        if (c->alertHandlersPool == nullptr)
            c->alertHandlersPool = le_mem_CreatePool("AlertHnd", sizeof(AlertHandlerRecord));
        c->timer = 10000;
        c->measureNow = false;
    }
    ConverterSetFileDescriptor(c, DefaultBus);
    ConverterSetDeviceAddress(c, 1);
    c->started = true;
}

uint8_t ConverterReadW(Converter* c, uint8_t address, uint8_t config, uint8_t* buffer)
{
    char path[PA_PATH_MAX];
    {
        Locked lock(c);
        if (c->fDescription[0] == '\0') return 0;
        le_utf8_Copy(path, c->fDescription, sizeof(path), nullptr);
    }
    int fd = pa_i2c_Open(path, O_RDWR);
    if (fd < 0)
    {
        LE_INFO("I2C BUS not presented");
        RebootModule("I2C BUS not presented");
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

le_result_t ConverterSetDeviceAddress(Converter* c, uint8_t index)
{
    static const struct
    {
        uint8_t offset;
        const char* text;
    } Addresses[4] = {{0, "68h"}, {8, "6Ch"}, {4, "6Ah"}, {12, "6Eh"}};
    if (index >= 4) return LE_BAD_PARAMETER;
    Locked lock(c);
    c->deviceAddress = Addresses[index].offset;
    LE_INFO("%s", Addresses[index].text);
    return LE_OK;
}

void ConverterSetInterface(Converter* c, uint8_t channelMask, uint32_t interfaceType)
{
    Locked lock(c);
    const char* last = nullptr;
    static const char* const Names[4] = {"ADC1 - %d", "ADC2 - %d", "ADC3 - %d", "ADC4 - %d"};
    for (size_t i = 0; i < c->channelCount; i++)
    {
        if (!(channelMask & c->channels[i].value)) continue;
        c->channels[i].range->InterfaceType = interfaceType;
        last = Names[i];
    }
    if (last != nullptr) LE_INFO(last, interfaceType & 0xFF);
}

le_result_t ConverterSetGain(Converter* c, uint8_t channelMask, uint32_t gain)
{
    if (gain > 3)
    {
        LE_INFO("Gain code %u refused: the codes are 0 to 3", gain);
        return LE_BAD_PARAMETER;
    }
    Locked lock(c);
    for (size_t i = 0; i < c->channelCount; i++)
    {
        if (channelMask & c->channels[i].value) c->channels[i].range->Gain = gain;
    }
    return LE_OK;
}

le_result_t ConverterSetConverter(Converter* c, uint8_t channelMask, double min, double max)
{
    Locked lock(c);
    if (!std::isfinite(min) || !std::isfinite(max) || !(min < max)) return LE_BAD_PARAMETER;
    for (size_t i = 0; i < c->channelCount; i++)
    {
        if (!(channelMask & c->channels[i].value)) continue;
        c->channels[i].range->Min = min;
        c->channels[i].range->Max = max;
    }
    return LE_OK;
}

le_result_t ConverterSetEdges(Converter* c, uint8_t channelMask, double low, double high, double hysteresis)
{
    Locked lock(c);
    // A negative hysteresis would make a steady value leave and re-enter its alert at every pass.
    if (!std::isfinite(low) || !std::isfinite(high) || !std::isfinite(hysteresis) || !(low < high) ||
        !(hysteresis >= 0) || !(hysteresis < (high - low) / 2.0))
        return LE_BAD_PARAMETER;
    for (size_t i = 0; i < c->channelCount; i++)
    {
        if (channelMask & c->channels[i].value) *c->channels[i].edges = EdgeADC{low, high, hysteresis};
    }
    return LE_OK;
}

le_result_t ConverterSetFileDescriptor(Converter* c, const char* path)
{
    Locked lock(c);
    le_utf8_Copy(c->fDescription, path ? path : "", sizeof(c->fDescription), nullptr);
    return LE_OK;
}

le_result_t ConverterSetBus(Converter* c, const char* path)
{
    // A bus that is not there would restart the module at the next measurement.
    if (!BusAnswers(path)) return LE_BAD_PARAMETER;
    return ConverterSetFileDescriptor(c, path);
}

void ConverterMutexLock(Converter* c)
{
    le_mutex_Lock(KeyOf(c));
    c->clientLocks++;
    LE_INFO("MUTEX ON");
}

void ConverterMutexUnlock(Converter* c)
{
    le_thread_Ref_t stopped = nullptr;
    {
        Locked lock(c);   // a stray unlock must not release a lock this thread does not hold
        if (c->clientLocks == 0)
        {
            LE_INFO("MUTEX OFF refused: the lock is not held");
            return;
        }
        LE_INFO("MUTEX OFF");
        c->clientLocks--;
        le_mutex_Unlock(KeyOf(c));
        stopped = TakeStoppedLooper(c);
    }
    if (stopped != nullptr) le_thread_Join(stopped, nullptr);
}

le_result_t ConverterGetValue(Converter* c, uint32_t channel, uint16_t* rawDataPtr, double* percentagePtr,
                              double* convertedValuePtr)
{
    if (RefusedBeforeStart(c, "Measurement")) return LE_UNAVAILABLE;
    Locked lock(c);
    const ConverterChannel* ch = ChannelOf(c, channel);
    if (ch == nullptr) return LE_BAD_PARAMETER;
    const MinMaxADC& range = *ch->range;
    bool highResolution = c->conversionSpeed == 1;
    auto config = static_cast<uint8_t>(ch->configBase | (range.Gain & 0xFF) | (highResolution ? 0x08 : 0x00));
    const double fullScale = highResolution ? 32000.0 : 2000.0;
    const double liveZero = highResolution ? 6400.0 : 400.0;
    auto address = static_cast<uint8_t>((BusAddressBase | c->deviceAddress) >> 1);

    int16_t code = 0;
    if (!MeasureCode(c, *ch, address, config, &code)) return LE_IO_ERROR;
    if (rawDataPtr) *rawDataPtr = static_cast<uint16_t>(code);
    double sign = code < 0 ? -1.0 : 1.0;
    double x = std::fabs(static_cast<double>(code));
    // A live-zero input never goes below its live zero, least of all below 0 V.
    if (range.InterfaceType == 1 && (code < 0 || liveZero > x))
    {
        if (percentagePtr) *percentagePtr = 0.0;
        return LE_UNDERFLOW;
    }
    if (x > fullScale)
    {
        if (percentagePtr) *percentagePtr = sign * (((x - fullScale) / (fullScale - liveZero)) * 100.0 + 100.0);
        return LE_OVERFLOW;
    }
    double p = range.InterfaceType == 1 ? (x - liveZero) * 100.0 / (fullScale - liveZero) : x * 100.0 / fullScale;
    if (percentagePtr) *percentagePtr = sign * p;
    if (convertedValuePtr) *convertedValuePtr = (p / 100.0 * (range.Max - range.Min) + range.Min) * sign;
    return LE_OK;
}

ValueHandlerRecord* ConverterAddValueHandler(Converter* c, uint8_t channelMask, le_ExtAdc_ValueHandlerFunc_t handler,
                                             void* contextPtr)
{
    return AddHandler(c, &c->hndlers, c->handlersPool, channelMask, handler, contextPtr, "Value handler");
}

void ConverterRemoveValueHandler(Converter* c, ValueHandlerRecord* record)
{
    RemoveHandler(c, &c->hndlers, record);
}

AlertHandlerRecord* ConverterAddAlertHandler(Converter* c, uint8_t channelMask, le_ExtAdc_AlertHandlerFunc_t handler,
                                             void* contextPtr)
{
    return AddHandler(c, &c->alertHndlers, c->alertHandlersPool, channelMask, handler, contextPtr, "Alert handler");
}

void ConverterRemoveAlertHandler(Converter* c, AlertHandlerRecord* record)
{
    RemoveHandler(c, &c->alertHndlers, record);
}

bool ConverterHandlerActive(Converter* c)
{
    Locked lock(c);
    return c->hndlers != nullptr || c->alertHndlers != nullptr;
}

void ConverterRunLooper(Converter* c)
{
    for (;;)
    {
        const uint64_t passStart = le_clk_NowMs();
        if (!RunPass(c)) return;
        // The sub-second part, then whole seconds; where the converter honours it, a measure-now
        // request ends the wait at the end of the second it came in. A stop cuts the wait short;
        // the next pass then decides, under the lock, whether the looper ends.
        le_thread_SleepMs(c->timer % 1000);
        for (uint32_t s = c->timer / 1000; s > 0 && c->isLooperRunning; s--)
        {
            le_thread_SleepMs(1000);
            if (c->waitEndsOnMeasureNow && c->measureNow.exchange(false)) break;
        }
        // A pass that has nothing to measure and no wait would spin.
        const uint64_t spent = le_clk_NowMs() - passStart;
        if (spent < UC_MIN_PASS_MS && c->isLooperRunning) le_thread_SleepMs(UC_MIN_PASS_MS - spent);
    }
}

//--------------------------------------------------------------------------------------------------
// The base board's converter
//--------------------------------------------------------------------------------------------------
UC_DEFINE_OPERATIONS(le_ExtAdc, BaseConverter, StartUC, ReadW, IsHandlerActive, Looper, UCLooperRunning)
