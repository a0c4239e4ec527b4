// Session payload rules, checked in a fixed order; the first failure ends the check.

#include "app/session_payload_validation.h"
#include "app/session_document.h"
#include "app/session_file_store.h"

#include <cmath>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

constexpr std::size_t kMaxNativeNodes = 128;
constexpr std::size_t kMaxNodeIdBytes = 128;
constexpr std::size_t kMaxScenes = 32;

[[noreturn]] void fail(const char* message) {
    throw std::runtime_error(message);
}

void validateNative(const Json& native) {
    if (!native.is_object() ||
        native.value("format", std::string()) != "kestravon-live-native-0.1") {
        fail("Invalid native session format or node count.");
    }
    const auto nodes = native.find("nodes");
    if (nodes == native.end() || !nodes->is_array() || nodes->empty() ||
        nodes->size() > kMaxNativeNodes) {
        fail("Invalid native session format or node count.");
    }
    std::set<std::string> ids;
    for (const auto& node : *nodes) {
        const auto id = node.is_object() ? node.find("id") : node.end();
        if (!node.is_object() || id == node.end() || !id->is_string()) {
            fail("Invalid native node identity.");
        }
        const auto& text = id->get_ref<const std::string&>();
        if (text.empty() || text.size() > kMaxNodeIdBytes || !ids.insert(text).second) {
            fail("Duplicate or invalid native node identity.");
        }
    }
}

std::set<std::string> validateUiState(const Json& ui) {
    const auto schema = ui.is_object() ? ui.find("schemaVersion") : ui.end();
    if (!ui.is_object() || schema == ui.end() || !schema->is_number_integer() || *schema != 2) {
        fail("Invalid UI session schema version.");
    }
    const auto scenes = ui.find("scenes");
    if (scenes == ui.end() || !scenes->is_array() || scenes->size() > kMaxScenes) {
        fail("Invalid UI scene list.");
    }
    std::set<std::string> ids;
    for (const auto& scene : *scenes) {
        const auto id = scene.is_object() ? scene.find("id") : scene.end();
        if (!scene.is_object() || id == scene.end() || !id->is_string()) {
            fail("Invalid UI scene identity.");
        }
        const auto& text = id->get_ref<const std::string&>();
        if (!isValidSceneId(text) || !ids.insert(text).second) {
            fail("Duplicate or invalid UI scene identity.");
        }
    }
    return ids;
}

void validateSceneStates(const Json& states, const std::set<std::string>& sceneIds) {
    if (!states.is_object() || states.size() > kMaxScenes) {
        fail("Invalid native scene state bank.");
    }
    for (const auto& [name, state] : states.items()) {
        if (!isValidSceneId(name) || !sceneIds.contains(name) || !state.is_object()) {
            fail("Native scene state has an invalid UI scene reference.");
        }
    }
}

} // namespace

void validateSessionJsonValues(const Json& payload) {
    // Only containers go on the stack; scalars are checked where their parent is walked, which
    // keeps a walk over tens of megabytes of plug-in states and scenes short.
    const auto checkScalar = [](const Json& value) {
        switch (value.type()) {
        case Json::value_t::binary:
        case Json::value_t::discarded:
            fail("Unsupported session JSON value.");
        case Json::value_t::number_float:
            if (!std::isfinite(value.get_ref<const Json::number_float_t&>())) {
                fail("Session contains a nonfinite number.");
            }
            break;
        default:
            break;
        }
    };
    if (!payload.is_structured()) {
        checkScalar(payload);
        return;
    }
    std::vector<std::pair<const Json*, std::uint32_t>> stack;
    stack.emplace_back(&payload, 2);
    while (!stack.empty()) {
        const auto [value, level] = stack.back();
        stack.pop_back();
        if (level > kSessionMaxNesting) {
            fail("Session nesting exceeds 64 levels.");
        }
        for (const auto& child : *value) {
            if (child.is_structured()) {
                stack.emplace_back(&child, level + 1);
            } else {
                checkScalar(child);
            }
        }
    }
}

void validateSessionPayload(const Json& payload) {
    requireExactFields(payload, {"native", "uiState", "sceneStates"}, "session payload");
    validateSessionJsonValues(payload);
    validateNative(payload.at("native"));
    const auto sceneIds = validateUiState(payload.at("uiState"));
    validateSceneStates(payload.at("sceneStates"), sceneIds);
}

} // namespace kestravon::ruvi
