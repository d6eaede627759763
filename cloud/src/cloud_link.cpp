#include "cloud_link.h"
#include "cloud_discovery.h"
#include "cloud_outbox.h"
#include "datahub_admin.h"
#include "le_clock.h"
#include "le_event.h"
#include "le_log.h"
#include "le_thread.h"
#include "pa_path.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <map>
#include <random>
#include <thread>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace
{
// Values handed to the broker and not yet acknowledged, at most.
const size_t SendWindow = 256;
const uint32_t HousekeepingMs = 1000;
const uint64_t FirstRetryMs = 1000;
const uint64_t LastRetryMs = 60000;
const uint64_t ConnectWaitMs = 15000;   // a connection (TCP, TLS, MQTT) not up by then is abandoned
// A connection that lasted this long was a good one: the next wait starts short again. One lost
// sooner (another client taking the session over, a broker that drops us) keeps the back-off.
const uint64_t StableOnlineMs = 30000;
// A session another client took over is not taken back at once: two gateways configured with one
// client id would otherwise knock each other off for ever.
const uint64_t TakenOverRetryMs = 30000;
// The broker keeps the session (the subscription, and the commands sent meanwhile) this long while
// the gateway is away.
const uint32_t SessionExpiryS = 7 * 24 * 3600;
// The largest packet the broker may send: a setting of the largest text value, its topic under
// the prefix, and its properties.
const uint32_t MaxIncomingPacket = IO_MAX_STRING_VALUE_LEN + 4096;
const uint64_t DropLogEveryMs = 10000;
const uint64_t HealthEveryMs = 10000;   // the link's health on the broker, at most this often
const int StopWaitMs = 2000;   // in-flight values get this long to be acknowledged on the way out

typedef enum { LINK_STOPPED, LINK_WAITING, LINK_CONNECTING, LINK_ONLINE } LinkState_t;

struct Change
{
    dhub_ChangeKind_t change;
    dhub_Kind_t kind;
    io_DataType_t type;
    double timestamp;
    std::string path;
    std::string value;
};

// What a configuration comes to, with its defaults filled in.
struct Settings
{
    cloud_Config_t config;
    bool tls = false;
    std::string host;
    int port = 0;
    std::string prefix;
    std::string password;
    std::string nodeId;   // Home Assistant's name for the gateway
};

Settings Link;
LinkState_t State = LINK_STOPPED;
struct mosquitto* Mosq = nullptr;
le_fdMonitor_Ref_t Monitor = nullptr;
le_timer_Ref_t RetryTimer = nullptr;
le_timer_Ref_t HouseTimer = nullptr;
le_thread_Ref_t LinkThread = nullptr;
void* Watch = nullptr;
CloudOutbox Outbox;
std::unordered_map<int, uint64_t> MidToSeq;
std::unordered_map<std::string, int> OwnClears;   // taken requests cleared, whose echo is due (3.1.1)
uint64_t RetryDelayMs = FirstRetryMs;
uint64_t ConnectStartedMs = 0;
uint64_t OnlineSinceMs = 0;
std::string LostReason;   // set by the library's callbacks, acted on once the library call returns
bool TakenOver = false;   // the broker said another client took the session over
// Settings taken from the broker in one read, kept together once the read is over.
uint64_t BatchKeepVersion = 0;
std::vector<std::string> BatchPaths;
std::string LibraryError; // what the library last complained of (a TLS failure's detail)
std::mt19937 Jitter{std::random_device{}()};

// What pushing threads hand to the link's loop.
std::mutex PendingMutex;
std::vector<Change> Pending;
std::atomic<bool> ProcessQueued{false};

// What the status resources last showed.
uint64_t Published = 0;
double ShownDepth = -1, ShownBytes = -1, ShownDropped = -1, ShownPublished = -1;
// Home Assistant discovery: the configs the broker holds from this connection, and the resources
// they were made from.
std::map<std::string, std::string> DiscoverySent;
std::unordered_set<std::string> DiscoveryPaths;
bool DiscoveryDirty = false;
uint64_t DiscoveryCheckedMs = 0;
const uint64_t DiscoveryCheckEveryMs = 10000;   // resources made without a value show no change
std::string Model;

std::string HealthSent;   // the last health published, and when
uint64_t HealthSentMs = 0;
uint64_t DroppedLogged = 0;
uint64_t DropLoggedAtMs = 0;
size_t DrainStartDepth = 0;
uint64_t DrainStartedMs = 0;

const char* StateName(LinkState_t s)
{
    switch (s)
    {
        case LINK_ONLINE: return "online";
        case LINK_CONNECTING: return "connecting";
        case LINK_WAITING: return "offline";
        default: return "stopped";
    }
}

// The link's own status resources: shown in the hub, never published.
bool IsLinkStatus(const char* path)
{
    return strncmp(path, CLOUD_STATUS_PREFIX, sizeof(CLOUD_STATUS_PREFIX) - 1) == 0;
}

std::string StatusPath(const char* leaf)
{
    return std::string(CLOUD_STATUS_PREFIX) + leaf;
}

std::string BrokerName()
{
    return Link.config.url;
}

std::string ErrorText(int rc)
{
    std::string text = rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}


void SetState(LinkState_t s)
{
    State = s;
    io_PushString(StatusPath("state").c_str(), IO_NOW, StateName(s));
}

void ShowNumber(const char* leaf, double value, double* shown)
{
    if (value == *shown) return;
    *shown = value;
    io_PushNumeric(StatusPath(leaf).c_str(), IO_NOW, value);
}

void ShowOutbox()
{
    ShowNumber("outbox/depth", static_cast<double>(Outbox.Depth()), &ShownDepth);
    ShowNumber("outbox/bytes", static_cast<double>(Outbox.Bytes()), &ShownBytes);
    ShowNumber("outbox/dropped", static_cast<double>(Outbox.Dropped()), &ShownDropped);
    ShowNumber("published", static_cast<double>(Published), &ShownPublished);
}

void LogDrops(bool now)
{
    if (Outbox.Dropped() == DroppedLogged) return;
    uint64_t t = le_clk_NowMs();
    if (!now && DroppedLogged != 0 && t - DropLoggedAtMs < DropLogEveryMs) return;
    LE_WARN("Cloud link: the outbox is full (%zu values, %zu bytes): %llu of the oldest values dropped so far",
            Outbox.Depth(), Outbox.Bytes(), static_cast<unsigned long long>(Outbox.Dropped()));
    DroppedLogged = Outbox.Dropped();
    DropLoggedAtMs = t;
}

// {"value":V,"timestamp":T,"type":"..."}: a JSON value is carried as it is when it is one.
std::string JsonPayload(io_DataType_t type, const char* timestamp, const std::string& value)
{
    std::string v;
    switch (type)
    {
        case IO_DATA_TYPE_TRIGGER: v = "null"; break;
        case IO_DATA_TYPE_BOOLEAN: v = value == "true" ? "true" : "false"; break;
        case IO_DATA_TYPE_NUMERIC: v = dhub_IsJson(value.c_str()) ? value : "null"; break;   // inf and nan have no JSON
        case IO_DATA_TYPE_JSON: v = dhub_IsJson(value.c_str()) ? value : dhub_JsonString(value); break;
        default: v = dhub_JsonString(value); break;
    }
    return "{\"value\":" + v + ",\"timestamp\":" + timestamp + ",\"type\":\"" + dhub_TypeName(type) + "\"}";
}

// Publishes a value (QoS 1) with its time and type; mid is set on success.
int PublishValue(const std::string& path, io_DataType_t type, double timestamp, const std::string& value, int* mid)
{
    std::string topic = Link.prefix + "/" + path;
    char ts[48];
    snprintf(ts, sizeof(ts), "%.3f", timestamp);
    // A trigger has no value: its time is its payload. It is an event, not a state: not retained,
    // or every new subscriber would see it fire again.
    const bool trigger = type == IO_DATA_TYPE_TRIGGER;
    std::string payload = trigger ? std::string(ts) : value;
    if (Link.config.jsonPayload) payload = JsonPayload(type, ts, value);
    mosquitto_property* props = nullptr;
    if (!Link.config.mqtt311)
    {
        mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "timestamp", ts);
        mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "type", dhub_TypeName(type));
    }
    int rc = mosquitto_publish_v5(Mosq, mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                                  !trigger, props);
    mosquitto_property_free_all(&props);
    return rc;
}

int PublishText(const std::string& topic, const std::string& payload, bool retain)
{
    return mosquitto_publish_v5(Mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                                retain, nullptr);
}

void WantWrite()
{
    if (Monitor == nullptr || Mosq == nullptr) return;
    if (mosquitto_want_write(Mosq)) le_fdMonitor_Enable(Monitor, POLLOUT);
    else le_fdMonitor_Disable(Monitor, POLLOUT);
}

// A publish that can never succeed (a topic MQTT does not allow, a value too large for the broker)
// must not hold up the outbox behind it.
bool Undeliverable(int rc)
{
    return rc == MOSQ_ERR_INVAL || rc == MOSQ_ERR_OVERSIZE_PACKET || rc == MOSQ_ERR_PAYLOAD_SIZE ||
           rc == MOSQ_ERR_MALFORMED_UTF8 || rc == MOSQ_ERR_QOS_NOT_SUPPORTED || rc == MOSQ_ERR_NOT_SUPPORTED;
}

bool ExistsWithValue(const std::string& path)
{
    dhub_ResourceInfo_t info;
    return dhub_GetInfo(path.c_str(), &info, nullptr, 0) == LE_OK;   // a placeholder has no value
}

// Hands the outbox to the broker, oldest first, as far as the window allows.
void Pump()
{
    while (State == LINK_ONLINE && Outbox.InFlight() < SendWindow)
    {
        cloudOutbox_Entry* e = Outbox.NextToSend();
        if (e == nullptr) break;
        int mid = 0;
        int rc;
        if (e->deleted)
        {
            // A resource that came back meanwhile has its value published instead.
            if (ExistsWithValue(e->path))
            {
                Outbox.Acked(e->seq);
                continue;
            }
            rc = mosquitto_publish_v5(Mosq, &mid, (Link.prefix + "/" + e->path).c_str(), 0, nullptr, 1, true, nullptr);
        }
        else
        {
            rc = PublishValue(e->path, e->type, e->timestamp, e->value, &mid);
        }
        if (rc == MOSQ_ERR_SUCCESS)
        {
            MidToSeq[mid] = e->seq;
            continue;
        }
        if (Undeliverable(rc))
        {
            LE_ERROR("Cloud link: %s cannot be published (%s); it leaves the outbox", e->path.c_str(),
                     ErrorText(rc).c_str());
            Outbox.Acked(e->seq);
            continue;
        }
        // The connection is failing: what was not acknowledged goes again on the next one.
        if (LostReason.empty()) LostReason = ErrorText(rc);
        break;
    }
    Outbox.Flush();
    WantWrite();
}

void PublishState(const std::string& path, io_DataType_t type, double timestamp, const std::string& value)
{
    int rc = PublishValue(path, type, timestamp, value, nullptr);
    if (rc != MOSQ_ERR_SUCCESS && Undeliverable(rc))
    {
        LE_ERROR("Cloud link: %s cannot be published (%s)", path.c_str(), ErrorText(rc).c_str());
    }
}

bool EndsWith(const std::string& text, const char* tail)
{
    size_t n = strlen(tail);
    return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

bool DiscoveryOn()
{
    return !Link.config.discoveryPrefix.empty();
}

// Sends the configs that changed (all of them when forced), and an empty retained config for each
// resource that is gone.
void RefreshDiscovery(bool force)
{
    if (!DiscoveryOn() || State != LINK_ONLINE) return;
    DiscoveryDirty = false;
    DiscoveryCheckedMs = le_clk_RealMs();
    std::vector<cloudDiscovery_Resource> resources;
    dhub_ForEach(
        [](const dhub_ResourceInfo_t* info, const char* value, void* ctx) {
            static_cast<std::vector<cloudDiscovery_Resource>*>(ctx)->push_back(
                cloudDiscovery_Resource{info->path, info->kind, info->dataType, info->units, value});
        },
        &resources);
    DiscoveryPaths.clear();
    for (const cloudDiscovery_Resource& r : resources) DiscoveryPaths.insert(r.path);
    cloudDiscovery_Settings settings{Link.config.discoveryPrefix, Link.prefix, Link.nodeId, Model, VELTRONA_VERSION,
                                     Link.config.jsonPayload};
    std::map<std::string, std::string> configs = cloudDiscovery_Configs(settings, resources);
    for (auto it = DiscoverySent.begin(); it != DiscoverySent.end();)
    {
        if (configs.count(it->first) != 0)
        {
            ++it;
            continue;
        }
        PublishText(it->first, "", true);
        it = DiscoverySent.erase(it);
    }
    for (const auto& config : configs)
    {
        auto sent = DiscoverySent.find(config.first);
        if (!force && sent != DiscoverySent.end() && sent->second == config.second) continue;
        if (PublishText(config.first, config.second, true) == MOSQ_ERR_SUCCESS) DiscoverySent[config.first] = config.second;
    }
}

// Whether a change can change the configs: a resource made or deleted, a sensor's profile or name.
void NoteForDiscovery(const Change& c)
{
    if (!DiscoveryOn() || DiscoveryDirty) return;
    DiscoveryDirty = c.change == DHUB_CHANGE_DELETE || DiscoveryPaths.count(c.path) == 0 ||
                     (c.path.compare(0, 8, "sensors/") == 0 && (EndsWith(c.path, "/eep") || EndsWith(c.path, "/description")));
}

void ProcessPending(void*, void*)
{
    std::vector<Change> batch;
    {
        std::lock_guard<std::mutex> lock(PendingMutex);
        batch.swap(Pending);
        ProcessQueued = false;
    }
    if (State == LINK_STOPPED) return;
    for (const Change& c : batch)
    {
        NoteForDiscovery(c);
        if (c.change == DHUB_CHANGE_DELETE)
        {
            Outbox.Add(true, c.path.c_str(), c.type, 0.0, "");
        }
        else if (c.change == DHUB_CHANGE_PUSH && c.kind == DHUB_KIND_INPUT)
        {
            Outbox.Add(false, c.path.c_str(), c.type, c.timestamp, c.value.c_str());
        }
        else if (State == LINK_ONLINE)
        {
            // Outputs and defaults are state: published when online, and all again on connecting.
            PublishState(c.path, c.type, c.timestamp, c.value);
        }
    }
    LogDrops(false);
    if (DiscoveryDirty) RefreshDiscovery(false);
    Pump();
}

// On the changing thread, under the hub's lock: only queue.
void OnChange(const dhub_Change_t* c, void*)
{
    if (IsLinkStatus(c->path)) return;
    bool queue = false;
    {
        std::lock_guard<std::mutex> lock(PendingMutex);
        Pending.push_back(Change{c->change, c->kind, c->dataType, c->timestamp, c->path, c->value});
        queue = !ProcessQueued.exchange(true);
    }
    if (queue) le_event_QueueFunctionToThread(LinkThread, ProcessPending, nullptr, nullptr);
}

// "<prefix>/status/health": the outbox and the counts, retained, when they changed and at most every
// 10 s, so that the cloud tells a gap (values waiting, or dropped) from a quiet gateway.
void PublishHealth(bool now)
{
    if (State != LINK_ONLINE || (!now && le_clk_RealMs() - HealthSentMs < HealthEveryMs)) return;
    char counts[192], json[256];
    snprintf(counts, sizeof(counts), "\"outbox_depth\":%zu,\"outbox_bytes\":%zu,\"dropped\":%llu,\"published\":%llu",
             Outbox.Depth(), Outbox.Bytes(), static_cast<unsigned long long>(Outbox.Dropped()),
             static_cast<unsigned long long>(Published));
    if (counts == HealthSent) return;
    snprintf(json, sizeof(json), "{\"state\":\"online\",%s,\"timestamp\":%.3f}", counts,
             static_cast<double>(le_clk_EpochMs()) / 1000.0);
    if (PublishText(Link.prefix + "/status/health", json, true) != MOSQ_ERR_SUCCESS) return;
    HealthSent = counts;
    HealthSentMs = le_clk_RealMs();
}

// Every output, and every input that has only its default, as the hub has it now; triggers are
// events, not states, and fire only when they are pushed.
void PublishAllState()
{
    struct Item
    {
        std::string path;
        io_DataType_t type;
        double timestamp;
        std::string value;
    };
    std::vector<Item> items;
    dhub_ForEach(
        [](const dhub_ResourceInfo_t* info, const char* value, void* ctx) {
            if (!info->hasValue || info->kind == DHUB_KIND_PLACEHOLDER) return;
            if (IsLinkStatus(info->path) || info->dataType == IO_DATA_TYPE_TRIGGER) return;
            if (info->kind == DHUB_KIND_INPUT && !info->isDefault) return;
            static_cast<std::vector<Item>*>(ctx)->push_back(Item{info->path, info->dataType, info->timestamp, value});
        },
        &items);
    for (const Item& i : items) PublishState(i.path, i.type, i.timestamp, i.value);
}

void OnConnect(struct mosquitto*, void*, int rc, int, const mosquitto_property*)
{
    if (rc != 0)
    {
        LostReason = std::string("the broker refused the connection: ") + mosquitto_reason_string(rc);
        return;
    }
    // Changes from before the connection go first (inputs to the outbox); the state published
    // below is newer than any of them.
    ProcessPending(nullptr, nullptr);
    SetState(LINK_ONLINE);
    OnlineSinceMs = le_clk_RealMs();
    LE_INFO("Cloud link: connected to %s; topics under %s/", BrokerName().c_str(), Link.prefix.c_str());
    PublishText(Link.prefix + "/status", "online", true);
    mosquitto_subscribe_v5(Mosq, nullptr, (Link.prefix + "/#").c_str(), 1,
                           Link.config.mqtt311 ? 0 : MQTT_SUB_OPT_NO_LOCAL | MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
    PublishAllState();
    HealthSent.clear();
    PublishHealth(true);
    if (DiscoveryOn())
    {
        // Home Assistant's own "online" asks for the configs again; the broker's retained configs of
        // this gateway come once, so that those of resources gone meanwhile are cleared.
        const std::string& d = Link.config.discoveryPrefix;
        mosquitto_subscribe_v5(Mosq, nullptr, (d + "/status").c_str(), 1, 0, nullptr);
        mosquitto_subscribe_v5(Mosq, nullptr, (d + "/+/" + Link.nodeId + "/+/config").c_str(), 1,
                               Link.config.mqtt311 ? 0 : MQTT_SUB_OPT_NO_LOCAL | MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
        DiscoverySent.clear();
        RefreshDiscovery(true);
    }
    Outbox.ResendAll();
    DrainStartDepth = Outbox.Depth();
    DrainStartedMs = le_clk_RealMs();
    if (DrainStartDepth > 0) LE_INFO("Cloud link: delivering the %zu values of the outbox", DrainStartDepth);
}

// rc is the broker's reason code when it sent one, else the library's error.
void OnDisconnect(struct mosquitto*, void*, int rc, const mosquitto_property*)
{
    if (!LostReason.empty()) return;
    if (rc == MQTT_RC_SESSION_TAKEN_OVER)
    {
        TakenOver = true;
        LostReason = "session taken over by another client with the client id " + Link.config.clientId;
    }
    else if (rc >= 0x80)
    {
        LostReason = std::string("the broker disconnected: ") + mosquitto_reason_string(rc);
    }
    else
    {
        LostReason = rc == 0 ? "disconnected" : ErrorText(rc);
    }
}

void OnPublish(struct mosquitto*, void*, int mid, int reason, const mosquitto_property*)
{
    auto it = MidToSeq.find(mid);
    if (it == MidToSeq.end()) return;
    uint64_t seq = it->second;
    MidToSeq.erase(it);
    if (reason >= 0x80)
    {
        LE_ERROR("Cloud link: the broker refused a value (%s); it leaves the outbox", mosquitto_reason_string(reason));
    }
    else
    {
        Published++;
    }
    Outbox.Acked(seq);
    if (DrainStartDepth > 0 && Outbox.Depth() == 0)
    {
        LE_INFO("Cloud link: the outbox is delivered (%zu values in %.1f s)", DrainStartDepth,
                static_cast<double>(le_clk_RealMs() - DrainStartedMs) / 1000.0);
        DrainStartDepth = 0;
    }
}

// A retained value the broker kept from an earlier run, for a resource that is gone (deleted while
// the link was not running), or a trigger (events are not retained): cleared, so that the broker
// shows only what lives.
void ClearIfStale(const std::string& topic, const std::string& path)
{
    if (path == "status" || path.compare(0, 7, "status/") == 0 || EndsWith(path, "/error")) return;
    dhub_ResourceInfo_t info;
    le_result_t rc = dhub_GetInfo(path.c_str(), &info, nullptr, 0);
    bool gone = rc == LE_NOT_FOUND || (rc != LE_OK && info.kind == DHUB_KIND_PLACEHOLDER) || IsLinkStatus(path.c_str());
    if (!gone && info.dataType != IO_DATA_TYPE_TRIGGER) return;
    LE_INFO("Cloud link: retained %s cleared: %s", topic.c_str(), gone ? "no such resource" : "a trigger is no state");
    PublishText(topic, "", true);
}

// "<prefix>/<path>/set": an admin push. A retained request is taken once and then cleared. Other
// retained topics under the prefix come once at each connection, from the broker's store.
// Home Assistant's status, and this gateway's retained configs as the broker held them at the
// connection: one that is not sent now belongs to a resource that is gone.
void OnDiscoveryMessage(const std::string& topic, const struct mosquitto_message* msg)
{
    const std::string& d = Link.config.discoveryPrefix;
    std::string payload(static_cast<const char*>(msg->payload), static_cast<size_t>(msg->payloadlen));
    if (topic == d + "/status")
    {
        if (payload == "online") RefreshDiscovery(true);
        return;
    }
    if (msg->retain && msg->payloadlen > 0 && EndsWith(topic, "/config") &&
        topic.find("/" + Link.nodeId + "/") != std::string::npos && DiscoverySent.count(topic) == 0)
    {
        LE_INFO("Cloud link: retained %s cleared: no such resource", topic.c_str());
        PublishText(topic, "", true);
    }
}

void OnMessage(struct mosquitto*, void*, const struct mosquitto_message* msg, const mosquitto_property*)
{
    static const char Suffix[] = "/set";
    std::string topic = msg->topic ? msg->topic : "";
    if (DiscoveryOn() && topic.compare(0, Link.config.discoveryPrefix.size() + 1, Link.config.discoveryPrefix + "/") == 0)
    {
        OnDiscoveryMessage(topic, msg);
        return;
    }
    size_t head = Link.prefix.size() + 1;
    if (topic.size() <= head || topic.compare(0, Link.prefix.size(), Link.prefix) != 0 || topic[Link.prefix.size()] != '/')
    {
        return;
    }
    if (!EndsWith(topic, Suffix) || topic.size() <= head + sizeof(Suffix) - 1)
    {
        if (msg->retain && msg->payloadlen > 0) ClearIfStale(topic, topic.substr(head));
        return;
    }
    if (msg->retain && msg->payloadlen == 0) return;   // a request already taken
    // MQTT 3.1.1 has no "no local": the clearing of a request taken comes back as an empty one.
    auto echo = OwnClears.find(topic);
    if (echo != OwnClears.end() && msg->payloadlen == 0 && !msg->retain)
    {
        if (--echo->second == 0) OwnClears.erase(echo);
        return;
    }
    std::string path = topic.substr(head, topic.size() - head - (sizeof(Suffix) - 1));
    std::string payload(static_cast<const char*>(msg->payload), static_cast<size_t>(msg->payloadlen));
    dhub_ResourceInfo_t info;
    bool trigger = dhub_GetInfo(path.c_str(), &info, nullptr, 0) != LE_NOT_FOUND &&
                   info.dataType == IO_DATA_TYPE_TRIGGER;
    std::string reason;
    le_result_t r;
    if (payload.find('\0') != std::string::npos)
    {
        r = LE_FORMAT_ERROR;
        reason = "a value with a NUL byte is refused for " + path;
    }
    else
    {
        // Applied now; kept with the rest of what this read brought, in one write (KeepBatch).
        uint64_t keepVersion = 0;
        r = dhub_CheckedPush(path.c_str(), trigger ? nullptr : payload.c_str(), &reason, &keepVersion);
        if (keepVersion != 0)
        {
            BatchKeepVersion = std::max(BatchKeepVersion, keepVersion);
            BatchPaths.push_back(path);
        }
    }
    if (r == LE_OK)
    {
        LE_INFO("Cloud link: %s set from %s", path.c_str(), topic.c_str());
    }
    else
    {
        LE_INFO("Cloud link: push to %s refused: %s", path.c_str(), reason.c_str());
        PublishText(Link.prefix + "/" + path + "/error", reason, false);
    }
    // Under 3.1.1 a retained request comes live without its retain flag: every request is cleared.
    if ((msg->retain || Link.config.mqtt311) && PublishText(topic, "", true) == MOSQ_ERR_SUCCESS && Link.config.mqtt311)
    {
        OwnClears[topic]++;
    }
}

// One connection attempt, made beside the loop: the name lookup, the TCP connect and the TLS
// handshake may each take long, and the loop waits for none of them. The attempt's thread owns
// the library's handle until it hands it back.
struct ConnectAttempt
{
    struct mosquitto* mosq = nullptr;
    std::string host;
    int port = 0;
    int keepalive = 0;
    bool mqtt311 = false;
    std::string caFile;
    int rc = MOSQ_ERR_SUCCESS;
    int savedErrno = 0;
    std::string libraryError;   // written by the attempt's thread only
    std::string reason;         // a certificate check's: why the connection failed
    bool abandoned = false;     // the loop's thread only
};
ConnectAttempt* Attempt = nullptr;   // the attempt under way

// Which check the broker's certificate failed, as OpenSSL names it ("hostname mismatch", "self-signed
// certificate in certificate chain"), where the library says only that verification failed: a
// handshake of our own, beside the loop, with the same trust and the host name check. When it
// cannot tell, unchecked says why.
std::string CertificateFailure(const std::string& host, int port, const std::string& caFile, std::string* unchecked)
{
    *unchecked = "a second handshake could not be set up";
    struct addrinfo hints = {}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    int lookup = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (lookup != 0 || found == nullptr)
    {
        *unchecked = std::string("its address was not found again: ") + gai_strerror(lookup);
        return "";
    }
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    struct timeval limit = {5, 0};
    bool connected = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) == 0 &&
                     setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) == 0 &&
                     connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    if (!connected) *unchecked = std::string("it was not reached again: ") + strerror(errno);
    freeaddrinfo(found);
    std::string failure;
    SSL_CTX* context = connected ? SSL_CTX_new(TLS_client_method()) : nullptr;
    SSL* ssl = nullptr;
    if (context != nullptr &&
        (caFile.empty() ? SSL_CTX_load_verify_dir(context, "/etc/ssl/certs") : SSL_CTX_load_verify_file(context, caFile.c_str())) == 1 &&
        (ssl = SSL_new(context)) != nullptr && SSL_set_fd(ssl, fd) == 1 && SSL_set1_host(ssl, host.c_str()) == 1)
    {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        SSL_connect(ssl);
        long result = SSL_get_verify_result(ssl);
        if (result != X509_V_OK) failure = X509_verify_cert_error_string(result);
        else *unchecked = "its second handshake ended before the certificate was checked";
    }
    SSL_free(ssl);
    SSL_CTX_free(context);
    if (fd >= 0) close(fd);
    return failure;
}

// The library's complaint of a refused certificate, with the check that failed named where our own
// handshake finds it.
std::string NameCertificateFailure(const ConnectAttempt& attempt)
{
    std::string unchecked;
    std::string failure = CertificateFailure(attempt.host, attempt.port, attempt.caFile, &unchecked);
    if (!failure.empty()) return "certificate verify failed: " + failure;
    if (attempt.libraryError.find("certificate verify failed") == std::string::npos) return attempt.libraryError;
    return attempt.libraryError + "; which check failed is not known: " + unchecked;
}

void OnLibraryLog(struct mosquitto*, void* userdata, int level, const char* text)
{
    if (!(level & MOSQ_LOG_ERR) || text == nullptr) return;
    // During an attempt the library runs on the attempt's thread.
    if (userdata != nullptr) static_cast<ConnectAttempt*>(userdata)->libraryError = text;
    else LibraryError = text;
}

void AbandonAttempt()
{
    if (Attempt == nullptr) return;
    Attempt->abandoned = true;   // its thread's result is thrown away when it comes
    Attempt = nullptr;
}

void DropConnection()
{
    AbandonAttempt();
    if (Monitor != nullptr)
    {
        le_fdMonitor_Delete(Monitor);
        Monitor = nullptr;
    }
    if (Mosq != nullptr)
    {
        mosquitto_destroy(Mosq);
        Mosq = nullptr;
    }
    MidToSeq.clear();
    OwnClears.clear();
    Outbox.ResendAll();
}

void ScheduleRetry(const std::string& reason, bool wasOnline)
{
    std::string why = LibraryError.empty() ? reason : reason + " (" + LibraryError + ")";
    LibraryError.clear();
    DropConnection();
    SetState(LINK_WAITING);
    if (wasOnline && le_clk_RealMs() - OnlineSinceMs >= StableOnlineMs) RetryDelayMs = FirstRetryMs;
    if (TakenOver) RetryDelayMs = std::max(RetryDelayMs, TakenOverRetryMs);
    TakenOver = false;
    std::uniform_real_distribution<double> spread(0.75, 1.25);
    uint64_t delay = static_cast<uint64_t>(static_cast<double>(RetryDelayMs) * spread(Jitter));
    RetryDelayMs = std::min(RetryDelayMs * 2, LastRetryMs);
    if (wasOnline)
    {
        LE_WARN("Cloud link: connection to %s lost: %s; %zu values wait in the outbox; next attempt in %.1f s",
                BrokerName().c_str(), why.c_str(), Outbox.Depth(), static_cast<double>(delay) / 1000.0);
    }
    else
    {
        LE_WARN("Cloud link: cannot connect to %s: %s; next attempt in %.1f s", BrokerName().c_str(), why.c_str(),
                static_cast<double>(delay) / 1000.0);
    }
    le_timer_SetMsInterval(RetryTimer, static_cast<uint32_t>(delay));
    le_timer_Start(RetryTimer);
}

void CertificateChecked(void* checkPtr, void*)
{
    auto* check = static_cast<ConnectAttempt*>(checkPtr);
    if (check->abandoned)
    {
        delete check;
        return;
    }
    Attempt = nullptr;
    LibraryError = check->libraryError;
    std::string why = check->reason;
    delete check;
    ScheduleRetry(why, false);
}

// Whether the library refused the broker's certificate, whose failed check is then worth naming.
bool CertificateRefused()
{
    return Link.tls && LibraryError.find("certificate verify failed") != std::string::npos;
}

// A refused certificate, whether the handshake ended within the connect or later on the loop (the
// connect returns while the broker's answer is on its way), is named by a handshake of our own
// beside the loop, held and abandoned as an attempt is; the retry is scheduled once it is known.
void CheckCertificate(const std::string& why)
{
    auto* check = new ConnectAttempt;
    check->host = Link.host;
    check->port = Link.port;
    check->caFile = Link.config.caFile;
    check->libraryError = LibraryError;
    check->reason = why;
    LibraryError.clear();
    DropConnection();
    Attempt = check;
    std::thread([check] {
        check->libraryError = NameCertificateFailure(*check);
        le_event_QueueFunctionToThread(LinkThread, CertificateChecked, check, nullptr);
    }).detach();
}

void CheckLost()
{
    if (LostReason.empty() || (State != LINK_CONNECTING && State != LINK_ONLINE)) return;
    std::string why;
    why.swap(LostReason);
    if (State == LINK_CONNECTING && CertificateRefused()) return CheckCertificate(why);
    ScheduleRetry(why, State == LINK_ONLINE);
}

// One settings write for every setting the last read brought; a failure is told on each one's
// error topic, as a refusal would be.
void KeepBatch()
{
    if (BatchKeepVersion == 0) return;
    bool kept = dhub_Keep(BatchKeepVersion);
    BatchKeepVersion = 0;
    std::vector<std::string> paths;
    paths.swap(BatchPaths);
    if (kept) return;
    for (const std::string& path : paths)
    {
        LE_INFO("Cloud link: %s: %s", path.c_str(), dhub_NotKeptReason);
        PublishText(Link.prefix + "/" + path + "/error", dhub_NotKeptReason, false);
    }
}

void OnSocket(int, short events)
{
    if (Mosq == nullptr) return;
    int rc = MOSQ_ERR_SUCCESS;
    // Several messages a read, up to the library's limit of packets a call.
    if (events & (POLLIN | POLLHUP | POLLERR | POLLRDHUP)) rc = mosquitto_loop_read(Mosq, 64);
    KeepBatch();
    if (rc == MOSQ_ERR_SUCCESS && (events & POLLOUT)) rc = mosquitto_loop_write(Mosq, 1);
    if (rc != MOSQ_ERR_SUCCESS && LostReason.empty())
    {
        LostReason = rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NO_CONN ? "the broker closed the connection" : ErrorText(rc);
    }
    if (State == LINK_ONLINE) Pump();
    CheckLost();
    WantWrite();
}

// Back on the loop's thread with the attempt's outcome.
void ConnectDone(void* attemptPtr, void*)
{
    auto* attempt = static_cast<ConnectAttempt*>(attemptPtr);
    if (attempt->abandoned)
    {
        mosquitto_destroy(attempt->mosq);
        delete attempt;
        return;
    }
    Attempt = nullptr;
    Mosq = attempt->mosq;
    mosquitto_user_data_set(Mosq, nullptr);
    LibraryError = attempt->libraryError;
    int rc = attempt->rc;
    int savedErrno = attempt->savedErrno;
    delete attempt;
    if (rc != MOSQ_ERR_SUCCESS)
    {
        errno = savedErrno;
        if (rc == MOSQ_ERR_TLS && CertificateRefused()) return CheckCertificate(ErrorText(rc));
        ScheduleRetry(ErrorText(rc), false);
        return;
    }
    int fd = mosquitto_socket(Mosq);
    if (fd < 0)
    {
        ScheduleRetry("no socket", false);
        return;
    }
    // The attempt connected a blocking socket; the loop must never wait on it.
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
    {
        ScheduleRetry(strerror(errno), false);
        return;
    }
    Monitor = le_fdMonitor_Create("cloud link", fd, OnSocket, POLLIN);
    WantWrite();
}

void RunAttempt(ConnectAttempt* attempt)
{
    mosquitto_property* props = nullptr;
    if (!attempt->mqtt311)
    {
        mosquitto_property_add_int32(&props, MQTT_PROP_MAXIMUM_PACKET_SIZE, MaxIncomingPacket);
        mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, SessionExpiryS);
    }
    attempt->rc = mosquitto_connect_bind_v5(attempt->mosq, attempt->host.c_str(), attempt->port, attempt->keepalive,
                                            nullptr, props);
    attempt->savedErrno = errno;
    mosquitto_property_free_all(&props);
    le_event_QueueFunctionToThread(LinkThread, ConnectDone, attempt, nullptr);
}

void Connect()
{
    SetState(LINK_CONNECTING);
    ConnectStartedMs = le_clk_RealMs();
    LostReason.clear();
    auto* attempt = new ConnectAttempt;
    // Clean start off: the broker keeps the subscription and queues what is sent to it meanwhile.
    attempt->mosq = mosquitto_new(Link.config.clientId.c_str(), false, attempt);
    if (attempt->mosq == nullptr)
    {
        delete attempt;
        ScheduleRetry(strerror(errno), false);
        return;
    }
    struct mosquitto* mosq = attempt->mosq;
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, Link.config.mqtt311 ? MQTT_PROTOCOL_V311 : MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);   // values go out as they come, not batched by Nagle
    mosquitto_will_set_v5(mosq, (Link.prefix + "/status").c_str(), 7, "offline", 1, true, nullptr);
    if (!Link.config.user.empty())
    {
        mosquitto_username_pw_set(mosq, Link.config.user.c_str(), Link.password.empty() ? nullptr : Link.password.c_str());
    }
    if (Link.tls)
    {
        int rc = mosquitto_tls_set(mosq, Link.config.caFile.empty() ? nullptr : Link.config.caFile.c_str(),
                                   Link.config.caFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
        {
            mosquitto_destroy(mosq);
            delete attempt;
            ScheduleRetry(std::string("TLS set-up: ") + ErrorText(rc), false);
            return;
        }
    }
    mosquitto_connect_v5_callback_set(mosq, OnConnect);
    mosquitto_disconnect_v5_callback_set(mosq, OnDisconnect);
    mosquitto_publish_v5_callback_set(mosq, OnPublish);
    mosquitto_message_v5_callback_set(mosq, OnMessage);
    mosquitto_log_callback_set(mosq, OnLibraryLog);
    LibraryError.clear();
    attempt->host = Link.host;
    attempt->port = Link.port;
    attempt->keepalive = Link.config.keepaliveSeconds;
    attempt->mqtt311 = Link.config.mqtt311;
    attempt->caFile = Link.config.caFile;
    Attempt = attempt;
    std::thread(RunAttempt, attempt).detach();
}

void OnRetry(le_timer_Ref_t)
{
    if (State == LINK_WAITING) Connect();
}

void OnHousekeeping(le_timer_Ref_t)
{
    PublishHealth(false);
    if (DiscoveryDirty || le_clk_RealMs() - DiscoveryCheckedMs >= DiscoveryCheckEveryMs) RefreshDiscovery(false);
    if (Mosq != nullptr)
    {
        int rc = mosquitto_loop_misc(Mosq);   // keepalive pings, and the broker's silence noticed
        if (rc != MOSQ_ERR_SUCCESS && LostReason.empty()) LostReason = "the broker stopped answering";
        if (State == LINK_CONNECTING && le_clk_RealMs() - ConnectStartedMs > ConnectWaitMs && LostReason.empty())
        {
            LostReason = "no answer within " + std::to_string(ConnectWaitMs / 1000) + " s";
        }
        CheckLost();
        WantWrite();
    }
    else if (Attempt != nullptr && le_clk_RealMs() - ConnectStartedMs > ConnectWaitMs)
    {
        // A lookup or connect that hangs: given up here, its thread's result thrown away.
        ScheduleRetry("no answer within " + std::to_string(ConnectWaitMs / 1000) + " s", false);
    }
    Outbox.Sync();
    LogDrops(false);
    ShowOutbox();
}

std::string HostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') return "gateway";
    return name;
}

bool ReadPassword(const std::string& file, std::string* password, std::string* reason)
{
    FILE* f = fopen(file.c_str(), "r");
    if (f == nullptr)
    {
        *reason = "cannot read the password file " + file + ": " + strerror(errno);
        return false;
    }
    char line[1024] = {};
    if (fgets(line, sizeof(line), f) == nullptr) line[0] = '\0';
    fclose(f);
    size_t n = strcspn(line, "\r\n");
    password->assign(line, n);
    return true;
}

bool ValidTopicPart(const std::string& text)
{
    return !text.empty() && text.find_first_of("+#") == std::string::npos && text.find('\0') == std::string::npos &&
           text.front() != '/' && text.back() != '/';
}
}

std::string cloud_RedactedUrl(const std::string& url)
{
    // The user information ends at the last '@' before the path: everything up to it goes.
    size_t scheme = url.find("://");
    size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    size_t end = url.find('/', start);
    size_t at = url.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at == std::string::npos || at < start) return url;
    return url.substr(0, start) + "***@" + url.substr(at + 1);
}

bool cloud_ParseUrl(const std::string& rawUrl, bool* tls, std::string* host, int* port, std::string* reason)
{
    const std::string url = cloud_RedactedUrl(rawUrl);   // what is said about it never shows a password
    if (url != rawUrl)
    {
        *reason = "the broker URL must not carry a user or password (use --mqtt-user and --mqtt-password-file): " +
                  url;
        return false;
    }
    std::string rest;
    if (url.compare(0, 7, "mqtt://") == 0)
    {
        *tls = false;
        rest = url.substr(7);
    }
    else if (url.compare(0, 8, "mqtts://") == 0)
    {
        *tls = true;
        rest = url.substr(8);
    }
    else
    {
        *reason = "the broker URL must start with mqtt:// or mqtts://: " + url;
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    size_t slash = rest.find('/');
    if (slash != std::string::npos && slash > 0)
    {
        *reason = "the broker URL must not have a path (" + rest.substr(slash) + "): " + url;
        return false;
    }
    *port = *tls ? 8883 : 1883;
    std::string portText;
    if (!rest.empty() && rest[0] == '[')
    {
        size_t close = rest.find(']');
        if (close == std::string::npos)
        {
            *reason = "unclosed '[' in the broker URL: " + url;
            return false;
        }
        *host = rest.substr(1, close - 1);
        if (close + 1 < rest.size())
        {
            if (rest[close + 1] != ':')
            {
                *reason = "unexpected text after the address in the broker URL: " + url;
                return false;
            }
            portText = rest.substr(close + 2);
        }
    }
    else
    {
        size_t colon = rest.rfind(':');
        *host = rest.substr(0, colon);
        if (colon != std::string::npos) portText = rest.substr(colon + 1);
    }
    if (host->empty() || host->find_first_of("/@?# ") != std::string::npos)
    {
        *reason = "no usable host in the broker URL: " + url;
        return false;
    }
    if (!portText.empty() || rest.find(':') != std::string::npos)
    {
        char* end = nullptr;
        long p = portText.empty() ? 0 : strtol(portText.c_str(), &end, 10);
        if (portText.empty() || *end != '\0' || p < 1 || p > 65535)
        {
            *reason = "the port in the broker URL must be 1 to 65535: " + url;
            return false;
        }
        *port = static_cast<int>(p);
    }
    return true;
}

namespace
{
// False with *reason when the configuration cannot work.
bool Resolve(const cloud_Config_t& config, Settings* r, std::string* reason)
{
    r->config = config;
    cloud_Config_t& c = r->config;
    if (!cloud_ParseUrl(c.url, &r->tls, &r->host, &r->port, reason)) return false;
    std::string host = c.identity.empty() ? HostName() : c.identity;
    r->prefix = c.prefix.empty() ? "veltrona/" + host : c.prefix;
    if (!ValidTopicPart(r->prefix))
    {
        *reason = "the topic prefix must not be empty, hold '+' or '#', or start or end with '/': " + r->prefix;
        return false;
    }
    if (c.clientId.empty()) c.clientId = "veltrona-" + host;
    r->nodeId = cloudDiscovery_NodeId(c.identity.empty() ? c.clientId : c.identity);
    if (!c.discoveryPrefix.empty() && !ValidTopicPart(c.discoveryPrefix))
    {
        *reason = "the discovery prefix must not hold '+' or '#', or start or end with '/': " + c.discoveryPrefix;
        return false;
    }
    if (c.clientId.size() > 65535)
    {
        *reason = "the client id is too long";
        return false;
    }
    if (c.keepaliveSeconds < 5 || c.keepaliveSeconds > 65535)
    {
        *reason = "the keepalive must be 5 to 65535 seconds";
        return false;
    }
    if (c.outboxMaxValues < 1 || c.outboxMaxBytes < 4096)
    {
        *reason = "the outbox must hold at least one value and 4096 bytes";
        return false;
    }
    if (!c.passwordFile.empty() && !ReadPassword(c.passwordFile, &r->password, reason)) return false;
    if (!c.passwordFile.empty() && c.user.empty())
    {
        *reason = "a password file needs a user name";
        return false;
    }
    if (!c.caFile.empty() && access(c.caFile.c_str(), R_OK) != 0)
    {
        *reason = "cannot read the CA file " + c.caFile + ": " + strerror(errno);
        return false;
    }
    return true;
}
}

le_result_t cloud_CheckConfig(const cloud_Config_t& config, std::string* reason)
{
    Settings r;
    return Resolve(config, &r, reason) ? LE_OK : LE_BAD_PARAMETER;
}

le_result_t cloud_Start(const cloud_Config_t& config, std::string* reason)
{
    if (State != LINK_STOPPED)
    {
        *reason = "the cloud link is already running";
        return LE_DUPLICATE;
    }
    Settings resolved;
    if (!Resolve(config, &resolved, reason)) return LE_BAD_PARAMETER;
    Link = resolved;
    if (Outbox.Open(Link.config.outboxFile.c_str(), Link.config.outboxMaxValues, Link.config.outboxMaxBytes) != LE_OK)
    {
        *reason = "cannot read the outbox " + Link.config.outboxFile;
        return LE_FAULT;
    }
    DroppedLogged = Outbox.Dropped();
    LogDrops(true);

    static std::once_flag libInit;
    std::call_once(libInit, [] { mosquitto_lib_init(); });
    LinkThread = le_thread_GetCurrent();
    const char* const texts[] = {"state"};
    const char* const numbers[] = {"outbox/depth", "outbox/bytes", "outbox/dropped", "published"};
    for (const char* t : texts) io_CreateInput(StatusPath(t).c_str(), IO_DATA_TYPE_STRING, "");
    for (const char* n : numbers) io_CreateInput(StatusPath(n).c_str(), IO_DATA_TYPE_NUMERIC, "");
    ShownDepth = ShownBytes = ShownDropped = ShownPublished = -1;
    Published = 0;
    ShowOutbox();

    RetryTimer = le_timer_Create("cloud link retry");
    le_timer_SetHandler(RetryTimer, OnRetry);
    HouseTimer = le_timer_Create("cloud link housekeeping");
    le_timer_SetHandler(HouseTimer, OnHousekeeping);
    le_timer_SetMsInterval(HouseTimer, HousekeepingMs);
    le_timer_SetRepeat(HouseTimer, 0);
    le_timer_Start(HouseTimer);
    Watch = dhub_AddChangeWatch("", OnChange, nullptr);
    RetryDelayMs = FirstRetryMs;
    LE_INFO("Cloud link: connecting to %s as %s; topics under %s/; outbox %s (at most %zu values, %zu bytes)",
            BrokerName().c_str(), Link.config.clientId.c_str(), Link.prefix.c_str(), Link.config.outboxFile.c_str(),
            Link.config.outboxMaxValues, Link.config.outboxMaxBytes);
    // The first attempt waits for the loop to run, so that a start-up that blocks does not count
    // against the broker's answer.
    le_event_QueueFunction([](void*, void*) { if (State == LINK_WAITING) Connect(); }, nullptr, nullptr);
    SetState(LINK_WAITING);
    return LE_OK;
}

const char* cloud_TopicPrefix(void)
{
    return Link.prefix.c_str();
}

void cloud_SetModel(const std::string& model)
{
    Model = model;
    RefreshDiscovery(false);
}

void cloud_Stop(void)
{
    if (State == LINK_STOPPED) return;
    if (Watch != nullptr)
    {
        dhub_RemoveWatch(Watch);
        Watch = nullptr;
    }
    ProcessPending(nullptr, nullptr);
    if (State == LINK_ONLINE && Mosq != nullptr)
    {
        PublishText(Link.prefix + "/status", "offline", true);
        // The last values get a moment to be acknowledged; what is not stays in the outbox.
        uint64_t until = le_clk_RealMs() + StopWaitMs;
        while ((Outbox.InFlight() > 0 || mosquitto_want_write(Mosq)) && le_clk_RealMs() < until &&
               LostReason.empty())
        {
            if (mosquitto_loop(Mosq, 50, 1) != MOSQ_ERR_SUCCESS) break;
            KeepBatch();
            Pump();
        }
        mosquitto_disconnect(Mosq);
        mosquitto_loop_write(Mosq, 1);
    }
    DropConnection();
    le_timer_Delete(RetryTimer);
    le_timer_Delete(HouseTimer);
    RetryTimer = HouseTimer = nullptr;
    Outbox.Flush();
    if (Outbox.Depth() > 0) LE_INFO("Cloud link: %zu values wait in the outbox for the next start", Outbox.Depth());
    Outbox.Close();
    State = LINK_STOPPED;
    LE_INFO("Cloud link: stopped");
}
