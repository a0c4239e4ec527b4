#pragma once

// Endpoint ids and names are UTF-8 here: ids that are not valid UTF-8 are refused like ids that
// do not convert, and names from the system are repaired with U+FFFD.
#include "common/utf8.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestravon::ruvi {

// One endpoint chosen by the user.
struct EndpointSelection {
    std::string id;
    bool exclusive = false;
};

// What the control core hands to WasapiBackend::start.
struct AudioDeviceConfig {
    std::vector<EndpointSelection> inputs;
    std::vector<EndpointSelection> outputs;
    std::string masterOutputId; // empty: the first output
    std::int32_t requestedRate = 48000;
    std::int32_t requestedBlock = 128;
    bool preferLowLatencyShared = true;
};

// One active endpoint as the enumeration reports it.
struct EndpointInfo {
    std::string id;
    std::string name;
    std::string physicalUnitId;
    bool capture = false;
    std::int32_t channels = 0;
    std::int32_t sampleRate = 0;
    bool available = false;
};

// Catalogue order: capture before render, then by id as unsigned bytes.
bool endpointInfoLess(const EndpointInfo& a, const EndpointInfo& b);

// The key shared by the label endpoints of one UMC404HD unit; the id for every other endpoint.
std::string physicalLabelKey(std::string_view name, std::string_view id);

} // namespace kestravon::ruvi
