#include "app/scene_rules.h"

#include "app/session_document.h"

#include <set>
#include <string>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

constexpr const char* kNameNative[] = {"name"};
constexpr const char* kNameUi[] = {"name", "color", "icon"};
constexpr const char* kLevelsNative[] = {"gainDb", "pan", "mute", "solo"};
constexpr const char* kLevelsUi[] = {"level", "pan", "mute", "solo", "arm"};
constexpr const char* kProcessingNative[] = {"trimDb", "polarity", "stripProcessing"};
constexpr const char* kProcessingUi[] = {
    "stripProcessing", "trim",   "polarity",    "delay",         "hpfEnabled",  "hpf",
    "eqEnabled",       "eq",     "gateEnabled", "gateThreshold", "compEnabled", "threshold",
    "ratio",           "attack", "release",     "knee",          "makeup"};
constexpr const char* kRoutingNative[] = {"source", "outputs", "routes"};
constexpr const char* kRoutingUi[] = {"source",  "sourceType",   "sourcePorts", "outputPorts",
                                      "fileId",  "fileChannels", "lr",          "groups",
                                      "members", "sends"};
constexpr const char* kFxNative[] = {"inserts"};
constexpr const char* kFxUi[] = {"inserts"};

constexpr RecallGroup kGroups[] = {
    {"", kNameNative, kNameUi},
    {"levels", kLevelsNative, kLevelsUi},
    {"processing", kProcessingNative, kProcessingUi},
    {"routing", kRoutingNative, kRoutingUi},
    {"fx", kFxNative, kFxUi},
};

} // namespace

bool isRecallSafes(const Json& value) noexcept {
    if (!value.is_object()) {
        return false;
    }
    for (const char* group : {"levels", "processing", "routing", "fx"}) {
        const auto it = value.find(group);
        if (it == value.end() || !it->is_boolean()) {
            return false;
        }
    }
    return true;
}

bool isSafesDocument(const Json& value) noexcept {
    return isRecallSafes(value) && value.size() == 4;
}

Json safesOnly(const Json& safes) {
    Json only = Json::object();
    for (const char* group : {"levels", "processing", "routing", "fx"}) {
        only[group] = safes.at(group);
    }
    return only;
}

bool isValidSceneName(std::string_view name) noexcept {
    return !name.empty() && name.size() <= kMaxSceneNameBytes &&
           name.find('\0') == std::string_view::npos;
}

bool isSceneListEdit(const Json& value, const Json& held) noexcept {
    if (!value.is_array() || value.size() > kMaxScenes) {
        return false;
    }
    try {
        std::set<std::string> seen;
        for (const Json& scene : value) {
            if (!scene.is_object()) {
                return false;
            }
            const auto id = scene.find("id");
            if (id == scene.end() || !id->is_string() ||
                !isValidSceneId(id->get_ref<const std::string&>()) ||
                !seen.insert(id->get<std::string>()).second) {
                return false;
            }
            const auto name = scene.find("name");
            if (name == scene.end() || !name->is_string() ||
                !isValidSceneName(name->get_ref<const std::string&>())) {
                return false;
            }
            // The held entry of that id, which this one must equal but for its name.
            const Json* was = nullptr;
            if (held.is_array()) {
                for (const Json& entry : held) {
                    if (entry.is_object() && entry.value("id", Json()) == *id) {
                        was = &entry;
                        break;
                    }
                }
            }
            if (was == nullptr) {
                return false;
            }
            Json kept = scene;
            Json before = *was;
            kept.erase("name");
            before.erase("name");
            if (kept != before) {
                return false;
            }
        }
    } catch (...) {
        return false;
    }
    return true;
}

std::span<const RecallGroup> recallGroups() noexcept {
    return kGroups;
}

} // namespace kestravon::ruvi
