#include "cloud_discovery.h"
#include "cloud_link.h"

#include <cctype>
#include <cstring>
#include <strings.h>

namespace
{
// A field of an EnOcean sensor's decoded data, as its profile's decoder writes it.
struct Field
{
    const char* key;
    const char* unit;           // "" for none
    const char* deviceClass;    // "" for none
    bool measurement;           // state_class measurement
};

const Field Temperature = {"Temperature", "°C", "temperature", true};
const Field Humidity = {"Humidity", "%", "humidity", true};

struct Profile
{
    const char* eep;
    std::vector<Field> fields;
};

const std::vector<Profile>& Profiles()
{
    static const std::vector<Profile> profiles = {
        {"F60203", {{"Button0", "", "", false}, {"Button1", "", "", false}, {"Button2", "", "", false},
                    {"Button3", "", "", false}}},
        {"D50001", {{"Magnet_present", "", "", false}}},
        {"A50701", {{"Volts", "V", "voltage", true}, {"Occupancy", "", "", false}}},
        {"A50401", {Humidity, Temperature}},
        {"A50403", {Humidity, Temperature}},
        {"A50904", {{"CO2", "ppm", "carbon_dioxide", true}, Humidity, Temperature}},
        {"D23200", {{"Current", "A", "current", true}}},
        {"D23201", {{"Current1", "A", "current", true}, {"Current2", "A", "current", true}}},
        {"D23202", {{"Current1", "A", "current", true}, {"Current2", "A", "current", true},
                    {"Current3", "A", "current", true}}},
        {"D20A01", {{"Battery", "", "", false}, {"Temperature1", "°C", "temperature", true},
                    {"Temperature2", "°C", "temperature", true}, {"Temperature3", "°C", "temperature", true}}},
    };
    return profiles;
}

// The fields of a sensor's data: its profile's, or the raw data when it has no profile we decode.
std::vector<Field> FieldsOf(const std::string& eep)
{
    for (const Profile& p : Profiles())
    {
        if (strcasecmp(p.eep, eep.c_str()) == 0) return p.fields;
    }
    return {{"RawData", "", "", false}};
}

// A JSON object written key by key, in order.
class Json
{
public:
    Json& Text(const char* key, const std::string& value) { return Raw(key, dhub_JsonString(value)); }
    Json& Raw(const char* key, const std::string& json)
    {
        body_ += (body_.empty() ? "" : ",") + dhub_JsonString(key) + ":" + json;
        return *this;
    }
    std::string Str() const { return "{" + body_ + "}"; }

private:
    std::string body_;
};

typedef std::map<std::string, std::string> Values;   // path to value

std::string Value(const Values& values, const std::string& path)
{
    auto it = values.find(path);
    return it == values.end() ? "" : it->second;
}

// "sensors/<id>/...": the sensor's identifier, else "".
std::string SensorOf(const std::string& path)
{
    if (path.compare(0, 8, "sensors/") != 0) return "";
    size_t end = path.find('/', 8);
    return end == std::string::npos ? "" : path.substr(8, end - 8);
}

// What every config carries: name, ids, availability on the gateway's status, and the device.
Json Common(const cloudDiscovery_Settings& s, const Values& resources,
            const std::string& path, const std::string& objectId, const std::string& name)
{
    Json j;
    j.Text("name", name).Text("unique_id", s.nodeId + "_" + objectId).Text("object_id", s.nodeId + "_" + objectId);
    j.Text("availability_topic", s.topicPrefix + "/status").Text("payload_available", "online");
    j.Text("payload_not_available", "offline");
    const std::string gateway = "veltrona_" + s.nodeId;
    const std::string sensor = SensorOf(path);
    Json device;
    if (sensor.empty())
    {
        device.Raw("identifiers", "[" + dhub_JsonString(gateway) + "]").Text("name", "Veltrona " + s.nodeId);
        device.Text("manufacturer", "Veltrona").Text("model", s.model.empty() ? "Veltrona gateway" : s.model);
        device.Text("sw_version", s.version);
    }
    else
    {
        std::string description = Value(resources, "sensors/" + sensor + "/description");
        std::string eep = Value(resources, "sensors/" + sensor + "/eep");
        device.Raw("identifiers", "[" + dhub_JsonString(gateway + "_" + sensor) + "]");
        device.Text("name", description.empty() ? "EnOcean " + sensor : description).Text("manufacturer", "EnOcean");
        device.Text("model", eep.empty() ? "EnOcean sensor" : "EEP " + eep).Text("via_device", gateway);
    }
    return j.Raw("device", device.Str());
}

std::string ObjectId(const std::string& path)
{
    std::string id = path;
    for (char& c : id)
    {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
    }
    return id;
}
}

std::string cloudDiscovery_NodeId(const std::string& name)
{
    std::string id = name.empty() ? "gateway" : name;
    for (char& c : id)
    {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
    }
    return id;
}

std::map<std::string, std::string> cloudDiscovery_Configs(const cloudDiscovery_Settings& s,
                                                          const std::vector<cloudDiscovery_Resource>& resources)
{
    std::map<std::string, std::string> configs;
    Values values;
    for (const cloudDiscovery_Resource& r : resources) values[r.path] = r.value;
    // The value itself, or inside the JSON payload; a boolean as the gateway writes it.
    const std::string value = s.jsonPayload ? "{{ value_json.value }}" : "";
    const std::string flag = s.jsonPayload ? "{{ 'true' if value_json.value else 'false' }}" : "";
    for (const cloudDiscovery_Resource& r : resources)
    {
        if (r.kind != DHUB_KIND_INPUT && r.kind != DHUB_KIND_OUTPUT) continue;
        if (r.path.compare(0, sizeof(CLOUD_STATUS_PREFIX) - 1, CLOUD_STATUS_PREFIX) == 0) continue;   // never published
        const std::string state = s.topicPrefix + "/" + r.path;
        const std::string command = state + "/set";
        const bool input = r.kind == DHUB_KIND_INPUT;
        const std::string objectId = ObjectId(r.path);
        std::string component;
        Json j = Common(s, values, r.path, objectId, r.path);
        switch (r.type)
        {
            case IO_DATA_TYPE_BOOLEAN:
                component = input ? "binary_sensor" : "switch";
                j.Text("state_topic", state).Text("payload_on", "true").Text("payload_off", "false");
                if (!flag.empty()) j.Text("value_template", flag);
                if (!input) j.Text("command_topic", command).Text("state_on", "true").Text("state_off", "false");
                break;
            case IO_DATA_TYPE_TRIGGER:
                if (input) continue;   // an event the cloud cannot press
                component = "button";
                j.Text("command_topic", command);
                break;
            case IO_DATA_TYPE_NUMERIC:
                component = input ? "sensor" : "number";
                j.Text("state_topic", state);
                if (!value.empty()) j.Text("value_template", value);
                if (!r.units.empty()) j.Text("unit_of_measurement", r.units == "percent" ? "%" : r.units);
                if (input) j.Text("state_class", "measurement");
                // The hub knows no bounds of its own: the widest a number entity takes, in a box.
                if (!input)
                {
                    j.Text("command_topic", command).Raw("min", "-2147483648").Raw("max", "2147483647");
                    j.Raw("step", "0.001").Text("mode", "box");
                }
                break;
            case IO_DATA_TYPE_STRING:
                component = input ? "sensor" : "text";
                j.Text("state_topic", state);
                if (!value.empty()) j.Text("value_template", value);
                if (!input) j.Text("command_topic", command).Raw("max", "255");
                break;
            case IO_DATA_TYPE_JSON:
            {
                // A sensor's decoded data: one sensor entity per field of its profile.
                std::string sensor = SensorOf(r.path);
                if (!input || sensor.empty() || r.path != "sensors/" + sensor + "/data") continue;
                for (const Field& f : FieldsOf(Value(values, "sensors/" + sensor + "/eep")))
                {
                    Json field = Common(s, values, r.path, objectId + "_" + f.key, f.key);
                    field.Text("state_topic", state);
                    field.Text("value_template", std::string("{{ value_json.") + (s.jsonPayload ? "value." : "") + f.key + " }}");
                    if (*f.unit) field.Text("unit_of_measurement", f.unit);
                    if (*f.deviceClass) field.Text("device_class", f.deviceClass);
                    if (f.measurement) field.Text("state_class", "measurement");
                    configs[s.discoveryPrefix + "/sensor/" + s.nodeId + "/" + objectId + "_" + f.key + "/config"] = field.Str();
                }
                continue;
            }
        }
        configs[s.discoveryPrefix + "/" + component + "/" + s.nodeId + "/" + objectId + "/config"] = j.Str();
    }
    return configs;
}
