// The shared session document: revision checks, scene ids, the fold of plug-in editor edits,
// the parameter sync and the payload capture, on a headless Application with real plug-ins.

#include "app/session_document.h"

#include "app/application.h"
#include "app/application_impl.h"

#include "audio/endpoint_catalogue.h"
#include "audio/virtual_endpoints.h"
#include "tests/vst3/plugins/test_plugin_probe.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

std::string testplugModule(const std::string& name) {
    return std::string(RUVI_TESTPLUG_DIR) + "/ruvi_testplug_" + name +
           ".vst3/Contents/x86_64-linux/ruvi_testplug_" + name + ".so";
}

// A knob of the loaded test plug-in (null when it is not loaded).
template <typename Fn> Fn testplugKnob(const std::string& name, const char* symbol) {
    void* handle = ::dlopen(testplugModule(name).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return nullptr;
    }
    void* address = ::dlsym(handle, symbol);
    ::dlclose(handle); // the graph's instance keeps the module loaded
    return reinterpret_cast<Fn>(address);
}

std::string errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

TEST(SessionDocument, BaseRevisionChecks) {
    const std::string stale = "Shared session changed; refresh before editing";
    struct Case {
        const char* params;
        std::int64_t revision;
        std::string error; // "" passes
    };
    const Case cases[] = {
        {R"({})", 5, ""},
        {R"([{"baseRevision": 4}])", 5, ""}, // not an object: nothing to check
        {R"(null)", 5, ""},
        {R"({"baseRevision": 5})", 5, ""},
        {R"({"baseRevision": 4})", 5, stale},
        {R"({"baseRevision": 5.9})", 5, ""}, // a float is truncated
        {R"({"baseRevision": 4.999})", 5, stale},
        {R"({"baseRevision": -1})", -1, ""}, // integers compare exactly as 64-bit values
        {R"({"baseRevision": 18446744073709551615})", -1, stale},
        {R"({"baseRevision": -0.5})", 0, stale},
        {R"({"baseRevision": 1e300})", 0, stale},
        {R"({"baseRevision": 18446744073709551616.0})", 0, stale},
        {R"({"baseRevision": "5"})", 5, "type must be number, but is string"},
        {R"({"baseRevision": true})", 1, "type must be number, but is boolean"},
        {R"({"baseRevision": null})", 0, "type must be number, but is null"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params);
        const std::string error =
            errorOf([&] { checkBaseRevision(Json::parse(c.params), c.revision); });
        if (c.error.empty() || c.error == stale) {
            EXPECT_EQ(error, c.error);
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

TEST(SessionDocument, SceneIds) {
    for (const char* valid : {"scene-01", "scene-000000", "scene-99", "scene-12345"}) {
        EXPECT_TRUE(isValidSceneId(valid)) << valid;
    }
    for (const char* invalid : {"scene-1", "scene-1234567", "Scene-01", "scene-0a", "scene-",
                                "scene-+1", "scene- 1", "scene_01", "", "xscene-01"}) {
        EXPECT_FALSE(isValidSceneId(invalid)) << invalid;
    }
    EXPECT_FALSE(isValidSceneId(std::string_view("scene-0\0", 8)));
}

TEST(SessionDocument, AnEditReachesEveryMatchingInsertOfItsTarget) {
    const ParameterEdit edit{"in1", "fx", 3, 0.5};
    struct Case {
        const char* target;
        const char* after;
        bool changed;
    };
    const Case cases[] = {
        // Every insert with the slot id, not only the first; others untouched.
        {R"({"id": "in1", "inserts": [{"id": "fx"}, {"id": "eq"}, {"id": "fx", "parameters": {"1": 0.1}}]})",
         R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"3": 0.5}}, {"id": "eq"},
             {"id": "fx", "parameters": {"1": 0.1, "3": 0.5}}]})",
         true},
        // "parameters" that are not an object start again empty.
        {R"({"id": "in1", "inserts": [{"id": "fx", "parameters": "odd"}]})",
         R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"3": 0.5}}]})", true},
        // An equal value, integer or float, is no change.
        {R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"3": 0.5}}]})",
         R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"3": 0.5}}]})", false},
        // Other nodes, targets without inserts and malformed inserts are left alone.
        {R"({"id": "in2", "inserts": [{"id": "fx"}]})",
         R"({"id": "in2", "inserts": [{"id": "fx"}]})", false},
        {R"({"id": "in1"})", R"({"id": "in1"})", false},
        {R"({"id": "in1", "inserts": {"id": "fx"}})", R"({"id": "in1", "inserts": {"id": "fx"}})",
         false},
        {R"({"id": "in1", "inserts": [7, {"id": 3}, {"id": "fx"}]})",
         R"({"id": "in1", "inserts": [7, {"id": 3}, {"id": "fx", "parameters": {"3": 0.5}}]})",
         true},
        {R"("in1")", R"("in1")", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        Json target = Json::parse(c.target);
        bool changed = false;
        applyParameterEdit(edit, "3", changed, target);
        EXPECT_EQ(target, Json::parse(c.after));
        EXPECT_EQ(changed, c.changed);
    }
}

TEST(SessionDocument, StripsTakeTheNodeParametersTheyShow) {
    const Json node = Json::parse(R"({"id": "in1", "inserts": [
        {"id": "fx", "parameters": {"0": 0.25}}, {"id": "eq"}, 5]})");
    struct Case {
        const char* strip;
        const char* synced; // after syncNodeParametersToStrip
        bool changed;
        const char* copied; // after copyNodeParametersToStrip
    };
    const Case cases[] = {
        {R"({"id": "in1", "inserts": [{"id": "fx"}, {"id": "eq", "parameters": {"9": 1}}]})",
         // The sync copies only what the node has; the capture copy gives "eq" an empty map.
         R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"0": 0.25}}, {"id": "eq", "parameters": {"9": 1}}]})",
         true,
         R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"0": 0.25}}, {"id": "eq", "parameters": {}}]})"},
        {R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"0": 0.25}}]})",
         R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"0": 0.25}}]})", false,
         R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"0": 0.25}}]})"},
        {R"({"id": "in2", "inserts": [{"id": "fx"}]})",
         R"({"id": "in2", "inserts": [{"id": "fx"}]})", false,
         R"({"id": "in2", "inserts": [{"id": "fx"}]})"},
        {R"({"id": "in1", "inserts": [true, {"id": ["fx"]}]})",
         R"({"id": "in1", "inserts": [true, {"id": ["fx"]}]})", false,
         R"({"id": "in1", "inserts": [true, {"id": ["fx"]}]})"},
    };
    const Json native = {{"nodes", Json::array({7, node})}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.strip);
        Json synced = Json::parse(c.strip);
        bool changed = false;
        syncNodeParametersToStrip(node, changed, synced);
        EXPECT_EQ(synced, Json::parse(c.synced));
        EXPECT_EQ(changed, c.changed);
        Json copied = Json::parse(c.strip);
        copyNodeParametersToStrip(native, copied);
        EXPECT_EQ(copied, Json::parse(c.copied));
    }
}

} // namespace
} // namespace kestravon::ruvi
