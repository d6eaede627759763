// The cloud link: the Data Hub's admin side towards an MQTT broker (MQTT 5, through libmosquitto),
// served by the calling thread's event loop.
//
// Topics, under a prefix:
//   <prefix>/<path>          each input and output value, retained, QoS 1; the payload is the value
//                            as dhub prints it (true/false, the shortest decimal that reads back as
//                            the number, the text or JSON as it is; a trigger's payload is its
//                            time, and it is not retained), with the user properties "timestamp"
//                            (seconds since 1970, with milliseconds) and "type". A deleted
//                            resource's topic is cleared.
//   <prefix>/<path>/set      a message there is an admin push to the output (any payload fires a
//                            trigger); a retained one is taken once, then cleared
//   <prefix>/<path>/error    why a push was refused (not retained)
//   <prefix>/status          "online" while connected, "offline" when not (the broker's last will)
//   <prefix>/status/health   the outbox and the counts as JSON, retained, at most every 10 s
//   <discovery>/<component>/<node id>/<object id>/config
//                            Home Assistant discovery (cloud_discovery.h), when asked for: sent
//                            retained at each connection, when Home Assistant says "online" on
//                            <discovery>/status, and as resources come and go (empty when gone)
//
// The session is kept on the broker (clean start off, 7 days), so commands sent while the gateway
// is away arrive when it returns. At each connection, retained topics under the prefix whose
// resource is gone are cleared.
//
// With the JSON payload, a value's payload is {"value":V,"timestamp":T,"type":"..."}: V is true or
// false, a number, a JSON value as it is, a text as a JSON string, or null for a trigger. A /set
// payload is the plain value either way.
//
// Values pushed to inputs pass through an outbox file, in order, bounded by count and bytes (the
// oldest go first); an entry leaves when the broker has acknowledged it.
#pragma once

#include "le_basics.h"

#include <cstddef>
#include <string>

typedef struct cloud_Config
{
    std::string url;            // mqtt://host[:port] or mqtts://host[:port]
    std::string identity;       // the gateway's own name (cloud_identity.h); empty: the host name
    std::string prefix;         // empty: "veltrona/<identity>"
    std::string clientId;       // empty: "veltrona-<identity>"
    std::string user;           // empty: none
    std::string passwordFile;   // first line is the password; empty: none
    std::string caFile;         // mqtts: the CA certificates to trust; empty: the system's
    int keepaliveSeconds = 60;
    bool jsonPayload = false;   // values as {"value":...,"timestamp":...,"type":...}, for readers without MQTT 5
    bool mqtt311 = false;       // MQTT 3.1.1 for a broker without MQTT 5 (no user properties)
    std::string discoveryPrefix;   // Home Assistant discovery under this prefix; empty: none
    std::string outboxFile;
    size_t outboxMaxValues = 100000;
    size_t outboxMaxBytes = 16u << 20;
}
cloud_Config_t;

// Where the link's state shows in the Data Hub (read-only inputs, never published themselves).
#define CLOUD_STATUS_PREFIX "platform/cloud/"

// The URL with any user information in it replaced by "***", for messages.
std::string cloud_RedactedUrl(const std::string& url);
// Splits a broker URL (mqtt[s]://host[:port], no path, no user information); false with *reason,
// which never shows a password, when it is not one.
bool cloud_ParseUrl(const std::string& url, bool* tls, std::string* host, int* port, std::string* reason);

// Checks the configuration (the URL, the prefix, the bounds, the password and CA files) without
// starting anything. LE_BAD_PARAMETER with *reason when it cannot work.
le_result_t cloud_CheckConfig(const cloud_Config_t& config, std::string* reason);

// Checks the configuration, opens the outbox and starts connecting. LE_BAD_PARAMETER or LE_FAULT
// with *reason when it cannot start; once started, the link keeps trying on its own.
le_result_t cloud_Start(const cloud_Config_t& config, std::string* reason);

// The topic prefix in use (after cloud_Start).
const char* cloud_TopicPrefix(void);

// What the gateway is, for Home Assistant's device ("Veltrona EnOcean gateway"), once the board is
// known; discovery configs already sent are sent again with it.
void cloud_SetModel(const std::string& model);

// Says "offline", gives in-flight values a moment to be acknowledged, disconnects and closes the
// outbox (what is left waits for the next start).
void cloud_Stop(void);
