#include "datahub_admin.h"
#include "le_clock.h"
#include "le_event.h"
#include "le_log.h"
#include "le_thread.h"
#include "pa_path.h"
#include "pa_service.h"
#include "pa_text.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace
{
struct Value
{
    bool boolean = false;
    double number = 0.0;
    std::string text;
};

struct Handler
{
    uint64_t id;
    io_DataType_t type;   // trigger handlers hear every push
    void* func;
    void* context;
    le_thread_Ref_t thread;
};

struct Resource
{
    dhub_Kind_t kind = DHUB_KIND_PLACEHOLDER;
    io_DataType_t type = IO_DATA_TYPE_TRIGGER;
    std::string units;
    bool optional = false;
    bool hasValue = false;
    bool isDefault = false;
    double timestamp = 0.0;
    Value value;
    std::vector<Handler> handlers;
};

struct Kept
{
    io_DataType_t type;
    std::string text;
};

struct Watch
{
    std::string prefix;
    dhub_WatchFunc_t func;         // pushes only
    dhub_ChangeFunc_t changeFunc;  // every change
    void* context;
};

std::recursive_mutex HubMutex;
std::map<std::string, Resource> Resources;
std::map<uint64_t, std::string> HandlerPaths;
std::map<std::string, Kept> KeptSettings;
std::string SettingsFile;
std::map<uint64_t, Watch> Watches;
std::atomic<uint64_t> NextId{1};

struct Delivery
{
    uint64_t handlerId;
    io_DataType_t type;
    double timestamp;
    Value value;
};

double Now()
{
    return static_cast<double>(le_clk_EpochMs()) / 1000.0;
}

bool ValidPath(const char* path, const char* what)
{
    if (path == nullptr || path[0] == '\0')
    {
        LE_ERROR("Data Hub: %s: empty path refused", what);
        return false;
    }
    size_t len = strnlen(path, IO_MAX_RESOURCE_PATH_LEN + 1);
    if (len > IO_MAX_RESOURCE_PATH_LEN)
    {
        LE_ERROR("Data Hub: %s: path longer than %d characters refused: %.*s...", what, IO_MAX_RESOURCE_PATH_LEN,
                 IO_MAX_RESOURCE_PATH_LEN, path);
        return false;
    }
    if (strpbrk(path, "[]") != nullptr)
    {
        LE_ERROR("Data Hub: %s: path with '[' or ']' refused: %s", what, path);
        return false;
    }
    const char* seg = path;
    for (;;)
    {
        const char* end = strchr(seg, '/');
        size_t n = end ? static_cast<size_t>(end - seg) : strlen(seg);
        if (n == 0 || (n == 1 && seg[0] == '.') || (n == 2 && seg[0] == '.' && seg[1] == '.'))
        {
            LE_ERROR("Data Hub: %s: path with an empty, '.' or '..' segment refused: %s", what, path);
            return false;
        }
        if (!end) break;
        seg = end + 1;
    }
    return true;
}

bool ValidText(const char* text, const char* path)
{
    if (text == nullptr)
    {
        LE_ERROR("Data Hub: no value given for %s", path);
        return false;
    }
    if (strnlen(text, IO_MAX_STRING_VALUE_LEN + 1) > IO_MAX_STRING_VALUE_LEN)
    {
        LE_ERROR("Data Hub: value longer than %d characters refused for %s", IO_MAX_STRING_VALUE_LEN, path);
        return false;
    }
    return true;
}

// Deliveries waiting for each handler, and the newest of them: past the bound, a push changes the
// newest waiting delivery instead of queueing another, so a flood of pushes costs a bounded queue.
struct Waiting
{
    unsigned count = 0;
    Delivery* newest = nullptr;
    bool told = false;
};
std::map<uint64_t, Waiting> WaitingDeliveries;

void RunDelivery(void* p1, void*)
{
    auto* d = static_cast<Delivery*>(p1);
    Handler h{};
    bool found = false;
    {
        std::lock_guard<std::recursive_mutex> lock(HubMutex);
        auto w = WaitingDeliveries.find(d->handlerId);
        if (w != WaitingDeliveries.end() && --w->second.count == 0) WaitingDeliveries.erase(w);
        else if (w != WaitingDeliveries.end() && w->second.newest == d) w->second.newest = nullptr;
        auto pit = HandlerPaths.find(d->handlerId);
        if (pit != HandlerPaths.end())
        {
            auto rit = Resources.find(pit->second);
            if (rit != Resources.end())
            {
                for (const Handler& candidate : rit->second.handlers)
                {
                    if (candidate.id == d->handlerId)
                    {
                        h = candidate;
                        found = true;
                    }
                }
            }
        }
    }
    if (found)
    {
        switch (h.type)
        {
            case IO_DATA_TYPE_TRIGGER:
                reinterpret_cast<io_TriggerPushHandlerFunc_t>(h.func)(d->timestamp, h.context);
                break;
            case IO_DATA_TYPE_BOOLEAN:
                reinterpret_cast<io_BooleanPushHandlerFunc_t>(h.func)(d->timestamp, d->value.boolean, h.context);
                break;
            case IO_DATA_TYPE_NUMERIC:
                reinterpret_cast<io_NumericPushHandlerFunc_t>(h.func)(d->timestamp, d->value.number, h.context);
                break;
            case IO_DATA_TYPE_STRING:
                reinterpret_cast<io_StringPushHandlerFunc_t>(h.func)(d->timestamp, d->value.text.c_str(), h.context);
                break;
            case IO_DATA_TYPE_JSON:
                reinterpret_cast<io_JsonPushHandlerFunc_t>(h.func)(d->timestamp, d->value.text.c_str(), h.context);
                break;
        }
    }
    delete d;
}

bool HandlerHears(const Handler& h, io_DataType_t resourceType)
{
    return h.type == IO_DATA_TYPE_TRIGGER || h.type == resourceType;
}

// Caller holds the lock.
void QueueDelivery(const Handler& h, const Resource& r, const std::string& path)
{
    if (!HandlerHears(h, r.type)) return;
    Waiting& w = WaitingDeliveries[h.id];
    if (w.count >= DHUB_MAX_WAITING_DELIVERIES && w.newest != nullptr)
    {
        w.newest->timestamp = r.timestamp;
        w.newest->value = r.value;
        if (!w.told) LE_WARN("Data Hub: pushes to %s come faster than they are handled: the newest waiting one is "
                             "replaced", path.c_str());
        w.told = true;
        return;
    }
    auto* d = new Delivery{h.id, r.type, r.timestamp, r.value};
    w.count++;
    w.newest = d;
    le_event_QueueFunctionToThread(h.thread, RunDelivery, d, nullptr);
}

void ValueText(const Resource& r, std::string* out)
{
    out->clear();
    if (!r.hasValue) return;
    char num[64];
    switch (r.type)
    {
        case IO_DATA_TYPE_TRIGGER: break;
        case IO_DATA_TYPE_BOOLEAN: *out = r.value.boolean ? "true" : "false"; break;
        case IO_DATA_TYPE_NUMERIC:
            dhub_FormatNumber(r.value.number, num, sizeof(num));
            *out = num;
            break;
        default: *out = r.value.text; break;
    }
}

// Watches run under the lock so that a removed watch is never called afterwards. A push is heard
// by both kinds of watch; a default, a kept setting given back and a deletion only by change watches.
void NotifyWatches(dhub_ChangeKind_t change, const std::string& path, const Resource& r, bool pushWatchesToo)
{
    std::lock_guard<std::recursive_mutex> lock(HubMutex);
    std::string text;
    bool formatted = false;
    for (const auto& w : Watches)
    {
        if (path.compare(0, w.second.prefix.size(), w.second.prefix) != 0) continue;
        if (w.second.func != nullptr && !pushWatchesToo) continue;
        if (!formatted)
        {
            if (change != DHUB_CHANGE_DELETE) ValueText(r, &text);
            formatted = true;
        }
        if (w.second.func != nullptr)
        {
            w.second.func(path.c_str(), r.type, r.timestamp, text.c_str(), w.second.context);
            continue;
        }
        dhub_Change_t c{change, path.c_str(), r.kind, r.type, change == DHUB_CHANGE_DELETE ? 0.0 : r.timestamp,
                        text.c_str()};
        w.second.changeFunc(&c, w.second.context);
    }
}

void NotifyPush(const std::string& path, const Resource& r)
{
    NotifyWatches(DHUB_CHANGE_PUSH, path, r, true);
}

// Sets a new value (not a default) and queues it to every handler. Caller holds the lock.
void StoreAndDeliver(const std::string& path, Resource& r, double timestamp, const Value& v)
{
    r.hasValue = true;
    r.isDefault = false;
    r.timestamp = (timestamp == IO_NOW) ? Now() : timestamp;
    r.value = v;
    for (const Handler& h : r.handlers) QueueDelivery(h, r, path);
}

bool ParseValue(io_DataType_t type, const char* text, Value* v)
{
    switch (type)
    {
        case IO_DATA_TYPE_TRIGGER: return true;
        case IO_DATA_TYPE_BOOLEAN:
            if (strcmp(text, "true") == 0 || strcmp(text, "1") == 0) v->boolean = true;
            else if (strcmp(text, "false") == 0 || strcmp(text, "0") == 0) v->boolean = false;
            else return false;
            return true;
        case IO_DATA_TYPE_NUMERIC:
        {
            char* end = nullptr;
            errno = 0;
            double d = strtod(text, &end);
            if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(d)) return false;
            v->number = d;
            return true;
        }
        default: v->text = text; return true;
    }
}

// Caller holds the hub's lock: the settings file's content as it is to be now.
std::string SettingsContent()
{
    std::string content;
    std::vector<char> line;
    for (const auto& k : KeptSettings)
    {
        line.resize(2 * k.second.text.size() + 1);
        if (!dhub_Escape(k.second.text.c_str(), line.data(), line.size())) continue;
        content += k.first + "\t" + dhub_TypeName(k.second.type) + "\t" + line.data() + "\n";
    }
    return content;
}

// Kept settings reach the disk outside the hub's lock, one write at a time: a push that comes
// while a write is under way waits for the next one, which takes every change made meanwhile. So
// a burst costs a few writes, and nobody waits on the hub's lock while the disk works.
std::mutex KeepMutex;
std::condition_variable KeepDone;
uint64_t KeptVersion = 0;       // under HubMutex: changes to the kept settings so far
uint64_t WrittenVersion = 0;    // under KeepMutex: the last change the file holds
uint64_t FailedVersion = 0;     // under KeepMutex: the last change a failed write was to hold
bool KeepWriting = false;       // under KeepMutex
std::atomic<unsigned> SettingsWrites{0};
}

bool dhub_Keep(uint64_t version)
{
    std::unique_lock<std::mutex> lock(KeepMutex);
    for (;;)
    {
        if (version == 0 || WrittenVersion >= version) return true;
        if (FailedVersion >= version) return false;
        if (KeepWriting)
        {
            KeepDone.wait(lock);
            continue;
        }
        KeepWriting = true;
        lock.unlock();
        std::string content, file;
        uint64_t covers;
        {
            std::lock_guard<std::recursive_mutex> hub(HubMutex);
            content = SettingsContent();
            file = SettingsFile;
            covers = KeptVersion;
        }
        bool ok = file.empty() || pa_fs_WriteFileAtomic(file.c_str(), content.data(), content.size()) == LE_OK;
        SettingsWrites++;
        if (!ok) LE_ERROR("Data Hub: settings could not be kept in %s", file.c_str());
        lock.lock();
        KeepWriting = false;
        if (ok) WrittenVersion = std::max(WrittenVersion, covers);
        else FailedVersion = std::max(FailedVersion, covers);
        KeepDone.notify_all();
    }
}

unsigned dhub_SettingsWrites(void)
{
    return SettingsWrites;
}

namespace
{

le_result_t CreateResource(const char* path, io_DataType_t type, const char* units, dhub_Kind_t kind)
{
    const char* what = kind == DHUB_KIND_INPUT ? "create input" : "create output";
    if (!ValidPath(path, what)) return LE_BAD_PARAMETER;
    if (type < IO_DATA_TYPE_TRIGGER || type > IO_DATA_TYPE_JSON)
    {
        LE_ERROR("Data Hub: %s: unknown data type %d for %s", what, static_cast<int>(type), path);
        return LE_BAD_PARAMETER;
    }
    if (units == nullptr) units = "";
    if (strnlen(units, IO_MAX_UNITS_NAME_LEN + 1) > IO_MAX_UNITS_NAME_LEN)
    {
        LE_ERROR("Data Hub: %s: units longer than %d characters refused for %s", what, IO_MAX_UNITS_NAME_LEN, path);
        return LE_BAD_PARAMETER;
    }
    std::lock_guard<std::recursive_mutex> lock(HubMutex);
    Resource& r = Resources[path];
    if (r.kind != DHUB_KIND_PLACEHOLDER)
    {
        if (r.kind == kind && r.type == type && r.units == units) return LE_OK;
        LE_ERROR("Data Hub: %s: %s exists with another kind, type or units", what, path);
        return LE_DUPLICATE;
    }
    r.kind = kind;
    r.type = type;
    r.units = units;
    r.hasValue = false;
    r.isDefault = false;
    auto kept = KeptSettings.find(path);
    if (kind == DHUB_KIND_OUTPUT && kept != KeptSettings.end() && kept->second.type == type)
    {
        Value v;
        if (ParseValue(type, kept->second.text.c_str(), &v))
        {
            StoreAndDeliver(path, r, IO_NOW, v);
            NotifyWatches(DHUB_CHANGE_PUSH, path, r, false);
        }
    }
    return LE_OK;
}

void SetDefault(const char* path, io_DataType_t type, const Value& v)
{
    if (!ValidPath(path, "set default")) return;
    std::lock_guard<std::recursive_mutex> lock(HubMutex);
    auto it = Resources.find(path);
    if (it == Resources.end() || it->second.kind == DHUB_KIND_PLACEHOLDER)
    {
        LE_ERROR("Data Hub: default for missing resource %s ignored", path);
        return;
    }
    Resource& r = it->second;
    if (r.type != type)
    {
        LE_ERROR("Data Hub: default of type %s for %s resource %s ignored", dhub_TypeName(type), dhub_TypeName(r.type),
                 path);
        return;
    }
    if (r.hasValue && !r.isDefault) return;   // a pushed value stands over the default
    r.hasValue = true;
    r.isDefault = true;
    r.timestamp = Now();
    r.value = v;
    for (const Handler& h : r.handlers) QueueDelivery(h, r, path);
    NotifyWatches(DHUB_CHANGE_DEFAULT, path, r, false);
}

void Push(const char* path, io_DataType_t type, double timestamp, const Value& v)
{
    if (!ValidPath(path, "push")) return;
    Resource copy;
    {
        std::lock_guard<std::recursive_mutex> lock(HubMutex);
        auto it = Resources.find(path);
        if (it == Resources.end() || it->second.kind != DHUB_KIND_INPUT)
        {
            LE_ERROR("Data Hub: push to %s refused: not an input", path);
            return;
        }
        Resource& r = it->second;
        if (r.type != type)
        {
            LE_ERROR("Data Hub: push of type %s to %s input %s refused", dhub_TypeName(type), dhub_TypeName(r.type),
                     path);
            return;
        }
        StoreAndDeliver(path, r, timestamp, v);
        copy = r;
    }
    NotifyPush(path, copy);
}

uint64_t RefToId(const void* ref)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ref)) >> 1;
}

void* IdToRef(uint64_t id)
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>((id << 1) | 1u));
}

// A thread that ends takes its handlers with it: nothing is queued to a freed loop.
void ForgetThreadHandlers(void* threadPtr)
{
    auto* thread = static_cast<le_thread_Ref_t>(threadPtr);
    std::lock_guard<std::recursive_mutex> lock(HubMutex);
    for (auto rit = Resources.begin(); rit != Resources.end();)
    {
        auto& hs = rit->second.handlers;
        for (auto it = hs.begin(); it != hs.end();)
        {
            if (it->thread == thread)
            {
                HandlerPaths.erase(it->id);
                it = hs.erase(it);
            }
            else
            {
                ++it;
            }
        }
        if (rit->second.kind == DHUB_KIND_PLACEHOLDER && hs.empty()) rit = Resources.erase(rit);
        else ++rit;
    }
}

void* Register(const char* path, io_DataType_t type, void* func, void* context)
{
    if (!ValidPath(path, "add push handler") || func == nullptr) return nullptr;
    le_thread_AddDestructor(ForgetThreadHandlers, le_thread_GetCurrent());
    std::lock_guard<std::recursive_mutex> lock(HubMutex);
    Resource& r = Resources[path];   // a placeholder keeps the handler until the resource exists
    Handler h{NextId.fetch_add(1), type, func, context, le_thread_GetCurrent()};
    r.handlers.push_back(h);
    HandlerPaths[h.id] = path;
    if (r.kind != DHUB_KIND_PLACEHOLDER && r.hasValue) QueueDelivery(h, r, path);
    return IdToRef(h.id);
}

void Unregister(const void* ref)
{
    if (ref == nullptr) return;
    uint64_t id = RefToId(ref);
    std::lock_guard<std::recursive_mutex> lock(HubMutex);
    auto pit = HandlerPaths.find(id);
    if (pit == HandlerPaths.end()) return;
    auto rit = Resources.find(pit->second);
    HandlerPaths.erase(pit);
    if (rit == Resources.end()) return;
    auto& hs = rit->second.handlers;
    for (auto it = hs.begin(); it != hs.end(); ++it)
    {
        if (it->id == id)
        {
            hs.erase(it);
            break;
        }
    }
    if (rit->second.kind == DHUB_KIND_PLACEHOLDER && hs.empty()) Resources.erase(rit);
}

template <typename T>
le_result_t GetValue(const char* path, io_DataType_t type, double* ts, T assign)
{
    std::lock_guard<std::recursive_mutex> lock(HubMutex);
    auto it = Resources.find(path ? path : "");
    if (it == Resources.end() || it->second.kind == DHUB_KIND_PLACEHOLDER) return LE_NOT_FOUND;
    const Resource& r = it->second;
    bool textual = (type == IO_DATA_TYPE_STRING) && (r.type == IO_DATA_TYPE_STRING || r.type == IO_DATA_TYPE_JSON);
    if (r.type != type && !textual) return LE_FORMAT_ERROR;
    if (!r.hasValue) return LE_UNAVAILABLE;
    if (ts) *ts = r.timestamp;
    return assign(r.value);
}
}

//--------------------------------------------------------------------------------------------------
// io client
//--------------------------------------------------------------------------------------------------
void io_ConnectService(void)
{
}

le_result_t io_TryConnectService(void)
{
    return pa_service_IsAvailable("io") ? LE_OK : LE_UNAVAILABLE;
}

void io_DisconnectService(void)
{
}

le_result_t io_CreateInput(const char* path, io_DataType_t dataType, const char* units)
{
    return CreateResource(path, dataType, units, DHUB_KIND_INPUT);
}

le_result_t io_CreateOutput(const char* path, io_DataType_t dataType, const char* units)
{
    return CreateResource(path, dataType, units, DHUB_KIND_OUTPUT);
}

void io_DeleteResource(const char* path)
{
    if (!ValidPath(path, "delete")) return;
    std::lock_guard<std::recursive_mutex> lock(HubMutex);
    auto it = Resources.find(path);
    if (it == Resources.end()) return;
    if (it->second.kind != DHUB_KIND_PLACEHOLDER) NotifyWatches(DHUB_CHANGE_DELETE, path, it->second, false);
    if (it->second.handlers.empty())
    {
        Resources.erase(it);
        return;
    }
    // Handlers outlive the resource, as they would in the hub: they hear it again if it comes back.
    std::vector<Handler> handlers = std::move(it->second.handlers);
    it->second = Resource();
    it->second.handlers = std::move(handlers);
}

void io_MarkOptional(const char* path)
{
    if (!ValidPath(path, "mark optional")) return;
    std::lock_guard<std::recursive_mutex> lock(HubMutex);
    auto it = Resources.find(path);
    if (it != Resources.end() && it->second.kind == DHUB_KIND_OUTPUT) it->second.optional = true;
}

void io_SetBooleanDefault(const char* path, bool value)
{
    Value v;
    v.boolean = value;
    SetDefault(path, IO_DATA_TYPE_BOOLEAN, v);
}

void io_SetNumericDefault(const char* path, double value)
{
    Value v;
    v.number = value;
    SetDefault(path, IO_DATA_TYPE_NUMERIC, v);
}

void io_SetStringDefault(const char* path, const char* value)
{
    if (!ValidText(value, path ? path : "")) return;
    Value v;
    v.text = value;
    SetDefault(path, IO_DATA_TYPE_STRING, v);
}

void io_SetJsonDefault(const char* path, const char* value)
{
    if (!ValidText(value, path ? path : "")) return;
    Value v;
    v.text = value;
    SetDefault(path, IO_DATA_TYPE_JSON, v);
}

void io_PushTrigger(const char* path, double timestamp)
{
    Push(path, IO_DATA_TYPE_TRIGGER, timestamp, Value());
}

void io_PushBoolean(const char* path, double timestamp, bool value)
{
    Value v;
    v.boolean = value;
    Push(path, IO_DATA_TYPE_BOOLEAN, timestamp, v);
}

void io_PushNumeric(const char* path, double timestamp, double value)
{
    Value v;
    v.number = value;
    Push(path, IO_DATA_TYPE_NUMERIC, timestamp, v);
}

void io_PushString(const char* path, double timestamp, const char* value)
{
    if (!ValidText(value, path ? path : "")) return;
    Value v;
    v.text = value;
    Push(path, IO_DATA_TYPE_STRING, timestamp, v);
}

void io_PushJson(const char* path, double timestamp, const char* value)
{
    if (!ValidText(value, path ? path : "")) return;
    Value v;
    v.text = value;
    Push(path, IO_DATA_TYPE_JSON, timestamp, v);
}

io_TriggerPushHandlerRef_t io_AddTriggerPushHandler(const char* path, io_TriggerPushHandlerFunc_t handler,
                                                    void* contextPtr)
{
    return static_cast<io_TriggerPushHandlerRef_t>(
        Register(path, IO_DATA_TYPE_TRIGGER, reinterpret_cast<void*>(handler), contextPtr));
}

io_BooleanPushHandlerRef_t io_AddBooleanPushHandler(const char* path, io_BooleanPushHandlerFunc_t handler,
                                                    void* contextPtr)
{
    return static_cast<io_BooleanPushHandlerRef_t>(
        Register(path, IO_DATA_TYPE_BOOLEAN, reinterpret_cast<void*>(handler), contextPtr));
}

io_NumericPushHandlerRef_t io_AddNumericPushHandler(const char* path, io_NumericPushHandlerFunc_t handler,
                                                    void* contextPtr)
{
    return static_cast<io_NumericPushHandlerRef_t>(
        Register(path, IO_DATA_TYPE_NUMERIC, reinterpret_cast<void*>(handler), contextPtr));
}

io_StringPushHandlerRef_t io_AddStringPushHandler(const char* path, io_StringPushHandlerFunc_t handler,
                                                  void* contextPtr)
{
    return static_cast<io_StringPushHandlerRef_t>(
        Register(path, IO_DATA_TYPE_STRING, reinterpret_cast<void*>(handler), contextPtr));
}

io_JsonPushHandlerRef_t io_AddJsonPushHandler(const char* path, io_JsonPushHandlerFunc_t handler, void* contextPtr)
{
    return static_cast<io_JsonPushHandlerRef_t>(
        Register(path, IO_DATA_TYPE_JSON, reinterpret_cast<void*>(handler), contextPtr));
}

void io_RemoveTriggerPushHandler(io_TriggerPushHandlerRef_t ref) { Unregister(ref); }
void io_RemoveBooleanPushHandler(io_BooleanPushHandlerRef_t ref) { Unregister(ref); }
void io_RemoveNumericPushHandler(io_NumericPushHandlerRef_t ref) { Unregister(ref); }
void io_RemoveStringPushHandler(io_StringPushHandlerRef_t ref) { Unregister(ref); }
void io_RemoveJsonPushHandler(io_JsonPushHandlerRef_t ref) { Unregister(ref); }

le_result_t io_GetBoolean(const char* path, double* timestampPtr, bool* valuePtr)
{
    return GetValue(path, IO_DATA_TYPE_BOOLEAN, timestampPtr, [&](const Value& v) {
        *valuePtr = v.boolean;
        return LE_OK;
    });
}

le_result_t io_GetNumeric(const char* path, double* timestampPtr, double* valuePtr)
{
    return GetValue(path, IO_DATA_TYPE_NUMERIC, timestampPtr, [&](const Value& v) {
        *valuePtr = v.number;
        return LE_OK;
    });
}

le_result_t io_GetString(const char* path, double* timestampPtr, char* value, size_t valueSize)
{
    return GetValue(path, IO_DATA_TYPE_STRING, timestampPtr, [&](const Value& v) {
        if (valueSize == 0 || v.text.size() >= valueSize) return LE_OVERFLOW;
        memcpy(value, v.text.c_str(), v.text.size() + 1);
        return LE_OK;
    });
}

//--------------------------------------------------------------------------------------------------
// Admin side
//--------------------------------------------------------------------------------------------------
le_result_t dhub_SetSettingsFile(const char* path)
{
    std::lock_guard<std::recursive_mutex> lock(HubMutex);
    KeptSettings.clear();
    SettingsFile = path ? path : "";
    if (SettingsFile.empty()) return LE_OK;
    FILE* f = pa_fs_Fopen(path, "r");
    if (f == nullptr)
    {
        if (errno == ENOENT) return LE_OK;
        LE_ERROR("Data Hub: cannot read settings %s: %s", path, strerror(errno));
        return LE_FAULT;
    }
    std::vector<char> line(DHUB_TEXT_MAX + IO_MAX_RESOURCE_PATH_LEN + 32);
    std::vector<char> text(IO_MAX_STRING_VALUE_LEN + 1);
    unsigned lineNo = 0;
    while (fgets(line.data(), static_cast<int>(line.size()), f))
    {
        lineNo++;
        std::string l(line.data());
        if (!l.empty() && l.back() == '\n') l.pop_back();
        std::vector<std::string> fields = pa_text_Split(l, '\t');   // path, type, escaped value
        io_DataType_t type;
        if (fields.size() != 3 || !dhub_TypeFromName(fields[1].c_str(), &type) ||
            !ValidPath(fields[0].c_str(), "load setting") ||
            !dhub_Unescape(fields[2].c_str(), text.data(), text.size()))
        {
            LE_ERROR("Data Hub: %s line %u is not a setting; skipped", path, lineNo);
            continue;
        }
        KeptSettings[fields[0]] = Kept{type, text.data()};
    }
    fclose(f);
    return LE_OK;
}

void dhub_Reset(void)
{
    std::lock_guard<std::recursive_mutex> lock(HubMutex);
    Resources.clear();
    HandlerPaths.clear();
    KeptSettings.clear();
    SettingsFile.clear();
    Watches.clear();
    WaitingDeliveries.clear();
}

namespace
{
void FillInfo(const std::string& path, const Resource& r, dhub_ResourceInfo_t* info)
{
    memset(info, 0, sizeof(*info));
    snprintf(info->path, sizeof(info->path), "%s", path.c_str());
    info->kind = r.kind;
    info->dataType = r.type;
    snprintf(info->units, sizeof(info->units), "%s", r.units.c_str());
    info->optional = r.optional;
    info->hasValue = r.hasValue;
    info->isDefault = r.isDefault;
    info->timestamp = r.timestamp;
    info->handlerCount = r.handlers.size();
}
}

void dhub_ForEach(void (*func)(const dhub_ResourceInfo_t* info, const char* value, void* ctx), void* ctx)
{
    std::vector<std::pair<dhub_ResourceInfo_t, std::string>> all;
    {
        std::lock_guard<std::recursive_mutex> lock(HubMutex);
        for (const auto& e : Resources)
        {
            dhub_ResourceInfo_t info;
            FillInfo(e.first, e.second, &info);
            std::string text;
            ValueText(e.second, &text);
            all.emplace_back(info, text);
        }
    }
    for (const auto& e : all) func(&e.first, e.second.c_str(), ctx);
}

le_result_t dhub_GetInfo(const char* path, dhub_ResourceInfo_t* info, char* value, size_t valueSize)
{
    std::lock_guard<std::recursive_mutex> lock(HubMutex);
    auto it = Resources.find(path ? path : "");
    if (it == Resources.end()) return LE_NOT_FOUND;
    if (info) FillInfo(it->first, it->second, info);
    if (!it->second.hasValue) return LE_UNAVAILABLE;
    if (value && valueSize > 0)
    {
        std::string text;
        ValueText(it->second, &text);
        snprintf(value, valueSize, "%s", text.c_str());
        if (text.size() >= valueSize) return LE_OVERFLOW;
    }
    return LE_OK;
}

le_result_t dhub_AdminPush(const char* path, const char* text)
{
    uint64_t version = 0;
    le_result_t r = dhub_AdminApply(path, text, &version);
    if (r != LE_OK) return r;
    return dhub_Keep(version) ? LE_OK : LE_IO_ERROR;
}

le_result_t dhub_AdminApply(const char* path, const char* text, uint64_t* keepVersion)
{
    *keepVersion = 0;
    if (path == nullptr) return LE_NOT_FOUND;
    if (text == nullptr) text = "";
    if (strnlen(text, IO_MAX_STRING_VALUE_LEN + 1) > IO_MAX_STRING_VALUE_LEN) return LE_OVERFLOW;
    Resource copy;
    {
        std::lock_guard<std::recursive_mutex> lock(HubMutex);
        auto it = Resources.find(path);
        if (it == Resources.end() || it->second.kind == DHUB_KIND_PLACEHOLDER) return LE_NOT_FOUND;
        Resource& r = it->second;
        if (r.kind != DHUB_KIND_OUTPUT) return LE_NOT_PERMITTED;
        Value v;
        if (!ParseValue(r.type, text, &v)) return LE_FORMAT_ERROR;
        StoreAndDeliver(path, r, IO_NOW, v);
        if (r.type != IO_DATA_TYPE_TRIGGER)
        {
            std::string text;
            ValueText(r, &text);
            KeptSettings[path] = Kept{r.type, text};
            if (!SettingsFile.empty()) *keepVersion = ++KeptVersion;
        }
        copy = r;
    }
    NotifyPush(path, copy);
    return LE_OK;
}

void* dhub_AddWatch(const char* pathPrefix, dhub_WatchFunc_t func, void* ctx)
{
    std::lock_guard<std::recursive_mutex> lock(HubMutex);
    uint64_t id = NextId.fetch_add(1);
    Watches[id] = Watch{pathPrefix ? pathPrefix : "", func, nullptr, ctx};
    return IdToRef(id);
}

void* dhub_AddChangeWatch(const char* pathPrefix, dhub_ChangeFunc_t func, void* ctx)
{
    std::lock_guard<std::recursive_mutex> lock(HubMutex);
    uint64_t id = NextId.fetch_add(1);
    Watches[id] = Watch{pathPrefix ? pathPrefix : "", nullptr, func, ctx};
    return IdToRef(id);
}

void dhub_RemoveWatch(void* watchRef)
{
    std::lock_guard<std::recursive_mutex> lock(HubMutex);
    Watches.erase(RefToId(watchRef));
}

void dhub_FormatNumber(double value, char* buf, size_t bufSize)
{
    // The shortest text that reads back as the same number.
    for (int precision = 6; precision <= 17; precision++)
    {
        snprintf(buf, bufSize, "%.*g", precision, value);
        if (strtod(buf, nullptr) == value) return;
    }
}

bool dhub_Escape(const char* in, char* out, size_t outSize)
{
    size_t o = 0;
    for (const char* p = in; *p; p++)
    {
        const char* rep = nullptr;
        switch (*p)
        {
            case '\t': rep = "\\t"; break;
            case '\n': rep = "\\n"; break;
            case '\r': rep = "\\r"; break;
            case '\\': rep = "\\\\"; break;
            default: break;
        }
        size_t need = rep ? 2 : 1;
        if (o + need >= outSize) return false;
        if (rep)
        {
            out[o++] = rep[0];
            out[o++] = rep[1];
        }
        else
        {
            out[o++] = *p;
        }
    }
    if (outSize == 0) return false;
    out[o] = '\0';
    return true;
}

bool dhub_Unescape(const char* in, char* out, size_t outSize)
{
    size_t o = 0;
    for (const char* p = in; *p; p++)
    {
        char c = *p;
        if (c == '\\')
        {
            p++;
            switch (*p)
            {
                case 't': c = '\t'; break;
                case 'n': c = '\n'; break;
                case 'r': c = '\r'; break;
                case '\\': c = '\\'; break;
                default: return false;
            }
        }
        if (o + 1 >= outSize) return false;
        out[o++] = c;
    }
    if (outSize == 0) return false;
    out[o] = '\0';
    return true;
}

bool dhub_TypeFromName(const char* name, io_DataType_t* type)
{
    for (int t = IO_DATA_TYPE_TRIGGER; t <= IO_DATA_TYPE_JSON; t++)
    {
        if (strcmp(name, dhub_TypeName(static_cast<io_DataType_t>(t))) == 0)
        {
            *type = static_cast<io_DataType_t>(t);
            return true;
        }
    }
    return false;
}

const char* dhub_TypeName(io_DataType_t type)
{
    switch (type)
    {
        case IO_DATA_TYPE_TRIGGER: return "trigger";
        case IO_DATA_TYPE_BOOLEAN: return "boolean";
        case IO_DATA_TYPE_NUMERIC: return "numeric";
        case IO_DATA_TYPE_STRING: return "string";
        case IO_DATA_TYPE_JSON: return "json";
    }
    return "?";
}
