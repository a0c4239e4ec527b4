// The payload rules, one table of edits to a valid payload, each with the message it must give.

#include "app/session_payload_validation.h"

#include "session_test_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

Json payloadWithScenes() {
    Json payload = testing::minimalSessionPayload();
    payload["native"]["nodes"].push_back({{"id", "ch-2"}});
    payload["uiState"]["scenes"] = Json::parse(R"([
        {"id": "scene-01", "name": "Verse", "snapshot": {}},
        {"id": "scene-123456", "name": "Chorus", "snapshot": {}}])");
    payload["sceneStates"] = Json::parse(R"({"scene-01": {"native": {}, "uiState": {}}})");
    return payload;
}

std::string validationError(const Json& payload) {
    try {
        validateSessionPayload(payload);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

Json nestedArrays(int count) {
    Json value = Json::array();
    for (int i = 1; i < count; ++i) {
        Json outer = Json::array();
        outer.push_back(std::move(value));
        value = std::move(outer);
    }
    return value;
}

TEST(SessionPayloadValidation, EachRuleGivesItsOwnMessage) {
    struct Case {
        const char* name;
        std::function<void(Json&)> edit;
        const char* error; // "" passes
    };
    const auto nodes = [](int count) {
        Json list = Json::array();
        for (int i = 0; i < count; ++i) {
            list.push_back({{"id", "node-" + std::to_string(i)}});
        }
        return list;
    };
    const auto scenes = [](int count) {
        Json list = Json::array();
        for (int i = 0; i < count; ++i) {
            list.push_back({{"id", "scene-" + std::to_string(100 + i)}});
        }
        return list;
    };
    const Case cases[] = {
        {"valid with scenes", [](Json&) {}, ""},
        {"fourth member", [](Json& p) { p["extra"] = 1; }, "Invalid session payload fields."},
        {"not an object",
         [](Json& p) {
             p = Json::array({1, 2, 3});
         },
         "Invalid session payload fields."},
        {"third name differs",
         [](Json& p) {
             p.erase("sceneStates");
             p["scenes"] = Json::object();
         },
         "Missing session payload field: sceneStates."},
        // The payload is level 2, so "d" of a scene state's "uiState" starts at level 6.
        {"deepest container at level 64",
         [](Json& p) { p["sceneStates"]["scene-01"]["uiState"]["d"] = nestedArrays(59); }, ""},
        {"deepest container at level 65",
         [](Json& p) { p["sceneStates"]["scene-01"]["uiState"]["d"] = nestedArrays(60); },
         "Session nesting exceeds 64 levels."},
        {"NaN",
         [](Json& p) {
             p["uiState"]["x"] = {1.0, std::nan("")};
         },
         "Session contains a nonfinite number."},
        {"infinity",
         [](Json& p) {
             p["native"]["nodes"][0]["gainDb"] = std::numeric_limits<double>::infinity();
         },
         "Session contains a nonfinite number."},
        {"binary value",
         [](Json& p) {
             p["uiState"]["blob"] = Json::binary({1, 2, 3});
         },
         "Unsupported session JSON value."},
        {"native not an object", [](Json& p) { p["native"] = "x"; },
         "Invalid native session format or node count."},
        {"native format other",
         [](Json& p) { p["native"]["format"] = "kestravon-live-native-0.2"; },
         "Invalid native session format or node count."},
        {"native format absent", [](Json& p) { p["native"].erase("format"); },
         "Invalid native session format or node count."},
        {"no nodes", [&](Json& p) { p["native"]["nodes"] = nodes(0); },
         "Invalid native session format or node count."},
        {"128 nodes", [&](Json& p) { p["native"]["nodes"] = nodes(128); }, ""},
        {"129 nodes", [&](Json& p) { p["native"]["nodes"] = nodes(129); },
         "Invalid native session format or node count."},
        {"nodes an object",
         [](Json& p) {
             p["native"]["nodes"] = {{"id", "a"}};
         },
         "Invalid native session format or node count."},
        {"node id a number", [](Json& p) { p["native"]["nodes"][1]["id"] = 7; },
         "Invalid native node identity."},
        {"node not an object", [](Json& p) { p["native"]["nodes"][1] = "ch-2"; },
         "Invalid native node identity."},
        {"node without id", [](Json& p) { p["native"]["nodes"][1].erase("id"); },
         "Invalid native node identity."},
        {"duplicate node id", [](Json& p) { p["native"]["nodes"][1]["id"] = "ch-1"; },
         "Duplicate or invalid native node identity."},
        {"empty node id", [](Json& p) { p["native"]["nodes"][1]["id"] = ""; },
         "Duplicate or invalid native node identity."},
        {"node id of 128 bytes",
         [](Json& p) { p["native"]["nodes"][1]["id"] = std::string(128, 'n'); }, ""},
        {"node id of 129 bytes",
         [](Json& p) { p["native"]["nodes"][1]["id"] = std::string(129, 'n'); },
         "Duplicate or invalid native node identity."},
        {"schemaVersion 2.0", [](Json& p) { p["uiState"]["schemaVersion"] = 2.0; },
         "Invalid UI session schema version."},
        {"schemaVersion 1", [](Json& p) { p["uiState"]["schemaVersion"] = 1; },
         "Invalid UI session schema version."},
        {"schemaVersion unsigned 2", [](Json& p) { p["uiState"]["schemaVersion"] = 2u; }, ""},
        {"uiState not an object", [](Json& p) { p["uiState"] = Json::array(); },
         "Invalid UI session schema version."},
        {"no scene list", [](Json& p) { p["uiState"].erase("scenes"); }, "Invalid UI scene list."},
        {"33 scenes", [&](Json& p) { p["uiState"]["scenes"] = scenes(33); },
         "Invalid UI scene list."},
        {"32 scenes",
         [&](Json& p) {
             p["uiState"]["scenes"] = scenes(32);
             p["sceneStates"] = {{"scene-131", Json::object()}};
         },
         ""},
        {"scene without id", [](Json& p) { p["uiState"]["scenes"][1].erase("id"); },
         "Invalid UI scene identity."},
        {"scene id a number", [](Json& p) { p["uiState"]["scenes"][1]["id"] = 1; },
         "Invalid UI scene identity."},
        {"scene id with one digit", [](Json& p) { p["uiState"]["scenes"][1]["id"] = "scene-1"; },
         "Duplicate or invalid UI scene identity."},
        {"duplicate scene id", [](Json& p) { p["uiState"]["scenes"][1]["id"] = "scene-01"; },
         "Duplicate or invalid UI scene identity."},
        {"scene bank an array", [](Json& p) { p["sceneStates"] = Json::array(); },
         "Invalid native scene state bank."},
        {"33 scene states",
         [](Json& p) {
             for (int i = 0; i < 33; ++i) {
                 p["sceneStates"]["scene-" + std::to_string(200 + i)] = Json::object();
             }
         },
         "Invalid native scene state bank."},
        {"state of an unlisted scene",
         [](Json& p) { p["sceneStates"]["scene-99"] = Json::object(); },
         "Native scene state has an invalid UI scene reference."},
        {"state name not a scene id",
         [](Json& p) { p["sceneStates"]["Scene-01"] = Json::object(); },
         "Native scene state has an invalid UI scene reference."},
        {"state that is an array", [](Json& p) { p["sceneStates"]["scene-01"] = Json::array(); },
         "Native scene state has an invalid UI scene reference."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json payload = payloadWithScenes();
        c.edit(payload);
        EXPECT_EQ(validationError(payload), c.error);
    }
}

TEST(SessionPayloadValidation, ANativeFormatThatIsNotTextFailsWithTheLibraryTypeError) {
    Json payload = payloadWithScenes();
    payload["native"]["format"] = 1;
    EXPECT_THROW(validateSessionPayload(payload), nlohmann::json::type_error);
}

TEST(SessionPayloadValidation, AVeryDeepValueIsRefusedWithoutExhaustingTheStack) {
    // Deep enough that a recursive walk would overflow the stack.
    Json payload = payloadWithScenes();
    payload["uiState"]["d"] = nestedArrays(200000);
    EXPECT_EQ(validationError(payload), "Session nesting exceeds 64 levels.");
}

} // namespace
} // namespace kestravon::ruvi
