#include "vst3/insert_state_capture.h"

#include "vst3/vst3_effect.h"
#include "vst3/vst3_state_blob.h"

#include "test_plugin_support.h"

#include <gtest/gtest.h>

#include <functional>

namespace kestravon::ruvi {
namespace {

using nlohmann::json;
using testing::testplugBundle;
using testing::testplugSymbol;

class InsertStateCapture : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(first.open(testplugBundle("basic"), 48000.0, 128, 2, error)) << error;
        ASSERT_TRUE(second.open(testplugBundle("basic"), 48000.0, 128, 2, error)) << error;
        applied = {{"strip-1", {{"ins-a", &first}, {"ins-b", &second}}}};
        document = json::parse(R"({
            "nodes": [
                {"id": "main"},
                {"id": "strip-1", "inserts": [
                    {"id": "ins-a", "path": "/x.vst3"},
                    {"id": "ins-unmatched"},
                    {"id": "ins-b", "stateHex": "00"}
                ]}
            ]
        })");
    }

    Vst3Effect first;
    Vst3Effect second;
    std::vector<AppliedInsertNode> applied;
    json document;
};

TEST_F(InsertStateCapture, WritesStateAndParametersOfMatchingInserts) {
    ASSERT_TRUE(first.setParameter(0, 0.25)); // still pending: the capture flushes it
    std::string error;
    ASSERT_TRUE(captureInsertStates(&applied, document, error)) << error;
    const json& inserts = document["nodes"][1]["inserts"];
    EXPECT_EQ(inserts[0]["path"], "/x.vst3");
    EXPECT_EQ(inserts[1], json::parse(R"({"id": "ins-unmatched"})"));
    // The read-only parameter 1 is left out.
    EXPECT_EQ(inserts[0]["parameters"], json::parse(R"({"0": 0.25, "2": 0.0, "3": 0.0})"));
    const std::vector<std::uint8_t> blob = parseStateHex(inserts[0]["stateHex"].get<std::string>());
    Vst3Effect restored;
    ASSERT_TRUE(restored.open(testplugBundle("basic"), 48000.0, 128, 2, error));
    ASSERT_TRUE(restored.restoreState(blob, error)) << error;
    EXPECT_EQ(restored.parameters()[0].normalized, 0.25);
    EXPECT_NE(inserts[2]["stateHex"], "00");
    EXPECT_EQ(document["nodes"][0], json::parse(R"({"id": "main"})"));
}

TEST_F(InsertStateCapture, NoAppliedGraphLeavesTheDocumentAlone) {
    const json before = document;
    std::string error = "stale";
    EXPECT_TRUE(captureInsertStates(nullptr, document, error));
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(document, before);
}

TEST_F(InsertStateCapture, InstanceWaitingForRebuildIsStillCaptured) {
    auto restart = testplugSymbol<TestplugRestartFn>("basic", "ruviTestplugRestart");
    restart(8); // the newest instance, `second`, asks for a latency change
    ASSERT_TRUE(second.needsReconfiguration());
    std::string error;
    EXPECT_TRUE(captureInsertStates(&applied, document, error)) << error;
}

TEST_F(InsertStateCapture, FailuresLeaveTheDocumentUntouched) {
    auto componentMode =
        testplugSymbol<TestplugKnobFn>("basic", "ruviTestplugSetComponentStateMode");
    struct Case {
        const char* name;
        std::function<void(json&)> damage;
        int componentMode;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"insert without id", [](json& d) { d["nodes"][1]["inserts"][1].erase("id"); }, 0,
         "[json.exception.out_of_range.403] key 'id' not found"},
        {"node that is no object", [](json& d) { d["nodes"].push_back(3); }, 0,
         "[json.exception.type_error.304] cannot use at() with number"},
        {"no nodes", [](json& d) { d.erase("nodes"); }, 0,
         "[json.exception.out_of_range.403] key 'nodes' not found"},
        {"state capture fails", [](json&) {}, 2,
         "Cannot capture plugin state: VST3 component state capture failed."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        json damaged = document;
        c.damage(damaged);
        const json before = damaged;
        componentMode(c.componentMode);
        std::string error;
        EXPECT_FALSE(captureInsertStates(&applied, damaged, error));
        EXPECT_EQ(error, c.message);
        EXPECT_EQ(damaged, before);
    }
    componentMode(0);

    // An instance that cannot be flushed names its slot.
    Vst3Effect closed;
    std::vector<AppliedInsertNode> withClosed = {{"strip-1", {{"ins-a", &closed}}}};
    const json before = document;
    std::string error;
    EXPECT_FALSE(captureInsertStates(&withClosed, document, error));
    EXPECT_EQ(error, "Cannot flush plugin state: ins-a");
    EXPECT_EQ(document, before);
}

} // namespace
} // namespace kestravon::ruvi
