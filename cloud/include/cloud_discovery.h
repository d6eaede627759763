// Home Assistant MQTT discovery: the configs that make the gateway and its EnOcean sensors appear
// in Home Assistant by themselves, built from what the Data Hub holds.
//
// One device for the gateway, and one for each EnOcean sensor (via the gateway). An entity for each
// resource: binary_sensor (boolean input), switch (boolean output), button (trigger output), number
// (numeric output), text (string output), sensor (numeric or string input), and a sensor for each
// field of an EnOcean sensor's decoded data, with the unit, device class and state class its
// profile gives. Configs go to <discovery prefix>/<component>/<node id>/<object id>/config.
#pragma once

#include "datahub_admin.h"

#include <map>
#include <string>
#include <vector>

struct cloudDiscovery_Resource
{
    std::string path;
    dhub_Kind_t kind;
    io_DataType_t type;
    std::string units;
    std::string value;   // as dhub_GetInfo gives it
};

struct cloudDiscovery_Settings
{
    std::string discoveryPrefix;   // "homeassistant" unless given
    std::string topicPrefix;       // the link's own
    std::string nodeId;            // the gateway's identity, as discovery allows it: [a-zA-Z0-9_-]
    std::string model;             // the board, as far as it is known
    std::string version;           // the software's
    bool jsonPayload = false;      // values in {"value":...}: templates look inside
};

// The node id for an identity or client id: every other character becomes '_'.
std::string cloudDiscovery_NodeId(const std::string& name);

// Config topic to config payload (JSON), for every resource that has an entity.
std::map<std::string, std::string> cloudDiscovery_Configs(const cloudDiscovery_Settings& settings,
                                                          const std::vector<cloudDiscovery_Resource>& resources);
