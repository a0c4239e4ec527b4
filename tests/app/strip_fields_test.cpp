// The field map and the fader a strip really plays once its DCAs are added in.

#include "app/strip_fields.h"

#include <gtest/gtest.h>

#include <string>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

TEST(StripFields, NativeKeysMapToTheirUiFields) {
    EXPECT_EQ(uiFieldForNativeKey("gainDb"), "level");
    EXPECT_EQ(uiFieldForNativeKey("trimDb"), "trim");
    for (const char* same : {"pan", "mute", "solo", "polarity", "level", ""}) {
        EXPECT_EQ(uiFieldForNativeKey(same), same);
    }
}

// One document, many strips: each row names the node, its own fader and what it must play.
TEST(StripFields, EffectiveFaderAddsEveryDcaThatHoldsTheNode) {
    const Json ui = Json::parse(R"({
        "dcas": [
            {"id": "d1", "level": 4, "mute": false, "members": ["a", "b", "a"]},
            {"id": "d2", "level": -3, "members": ["b", 7, {"id": "c"}]},
            {"id": "d3", "level": -85, "members": ["off"]},
            {"id": "d4", "mute": true, "members": ["muted"]},
            {"id": "d5", "level": 50, "members": ["hot"]},
            "not a dca",
            {"id": "d6", "level": 2, "members": "a"}
        ]})");
    struct Case {
        const char* node;
        StripFader strip;
        double gain;
        bool mute;
    };
    const Case cases[] = {
        {"a", {-10.0, false}, -6.0, false},  // one DCA, counted once though listed twice
        {"b", {-10.0, false}, -9.0, false},  // two DCAs
        {"c", {-10.0, false}, -10.0, false}, // a member that is not a string holds nothing
        {"free", {-12.5, false}, -12.5, false},
        {"free", {-80.0, false}, -80.0, true}, // -80 is off
        {"free", {-79.9, false}, -79.9, false},
        {"free", {0.0, true}, 0.0, true},
        {"off", {0.0, false}, -85.0, true}, // a DCA at off mutes its members
        {"muted", {-3.0, false}, -3.0, true},
        {"hot", {10.0, false}, 60.0, false},   // clamped to the engine's range
        {"off", {-80.0, false}, -120.0, true}, // and at the bottom
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.node) + " at " + std::to_string(c.strip.levelDb));
        const EffectiveFader fader = effectiveFader(ui, c.node, c.strip);
        EXPECT_DOUBLE_EQ(fader.gainDb, c.gain);
        EXPECT_EQ(fader.mute, c.mute);
    }
    EXPECT_DOUBLE_EQ(dcaLevelSum(ui, "b"), 1.0);
    EXPECT_TRUE(inAnyDca(ui, "muted"));
    EXPECT_FALSE(inAnyDca(ui, "c"));
    EXPECT_FALSE(inAnyDca(Json::parse(R"({"dcas": {"id": "d1"}})"), "a"));
}

TEST(StripFields, APendingDcaEditIsReadInPlaceOfTheStoredField) {
    const Json ui = Json::parse(R"({"dcas": [
        {"id": "d1", "level": 0, "mute": false, "members": ["a"]},
        {"id": "d2", "level": 2, "mute": false, "members": ["a"]}]})");
    const Json level = 4.0;
    const DcaEdit raise{"d1", "level", &level};
    EXPECT_DOUBLE_EQ(effectiveFader(ui, "a", {-10.0, false}, &raise).gainDb, -4.0);
    const Json on = true;
    const DcaEdit mute{"d2", "mute", &on};
    const EffectiveFader muted = effectiveFader(ui, "a", {-10.0, false}, &mute);
    EXPECT_TRUE(muted.mute);
    EXPECT_DOUBLE_EQ(muted.gainDb, -8.0);
    // The held document itself is not what changed.
    EXPECT_DOUBLE_EQ(effectiveFader(ui, "a", {-10.0, false}).gainDb, -8.0);
}

TEST(StripFields, StripFadersReadDefaultsAndRefuseNonNumbers) {
    const StripFader plain = readStripFader(Json::object());
    EXPECT_EQ(plain.levelDb, 0.0);
    EXPECT_FALSE(plain.mute);
    // Only a boolean true mutes; a 1 from a careless client does not.
    EXPECT_FALSE(readStripFader(Json::parse(R"({"mute": 1})")).mute);
    try {
        (void)readStripFader(Json::parse(R"({"level": "-6"})"));
        ADD_FAILURE() << "a text level was read";
    } catch (const Json::type_error& e) {
        EXPECT_NE(std::string(e.what()).find("type must be number, but is string"),
                  std::string::npos);
    }
}

} // namespace
} // namespace kestravon::ruvi
