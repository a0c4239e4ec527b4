#include "engine/strip_processing.h"

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kestravon::ruvi {
namespace {

using nlohmann::json;

std::string refusal(const json& value) {
    try {
        (void)parseStripProcessing(value);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(StripProcessingParse, RefusesWithTheFirstFailingCheck) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const json fourBands = json::array({json::object(), json::object(), json::object(), {}});
    struct Case {
        const char* what;
        json value;
        const char* message;
    };
    const Case cases[] = {
        {"array", json::array(), "Strip processing must be an object"},
        {"null", json(), "Strip processing must be an object"},
        {"number", 3, "Strip processing must be an object"},
        {"hpf too low",
         {{"hpf", {{"frequencyHz", 10}}}},
         "Strip parameter outside supported range"},
        {"hpf as text", {{"hpf", {{"frequencyHz", "80"}}}}, "Strip parameter must be numeric"},
        {"hpf null", {{"hpf", {{"frequencyHz", nullptr}}}}, "Strip parameter must be numeric"},
        {"hpf NaN", {{"hpf", {{"frequencyHz", nan}}}}, "Strip parameter must be finite"},
        {"gain infinite",
         {{"eq", {{"bands", {{{"gainDb", inf}}, json::object(), json::object(), json::object()}}}}},
         "Strip parameter must be finite"},
        {"enabled as number", {{"hpf", {{"enabled", 1}}}}, "Processor enabled must be boolean"},
        {"section not object", {{"hpf", true}}, "Invalid strip processor"},
        {"gate as array", {{"gate", json::array()}}, "Invalid strip processor"},
        {"three bands",
         {{"eq", {{"bands", {json::object(), json::object(), json::object()}}}}},
         "EQ requires four bands"},
        {"five bands",
         {{"eq",
           {{"bands",
             {json::object(), json::object(), json::object(), json::object(), json::object()}}}}},
         "EQ requires four bands"},
        {"bands not array", {{"eq", {{"bands", json::object()}}}}, "EQ requires four bands"},
        {"band not object", {{"eq", {{"bands", {1, 2, 3, 4}}}}}, "Invalid strip processor"},
        {"band type peak",
         {{"eq",
           {{"bands", {{{"type", "peak"}}, json::object(), json::object(), json::object()}}}}},
         "Invalid EQ band type"},
        {"disabled compressor ratio 50",
         {{"compressor", {{"enabled", false}, {"ratio", 50}}}},
         "Strip parameter outside supported range"},
        {"gate attack below floor",
         {{"gate", {{"attackMs", 0.01}}}},
         "Strip parameter outside supported range"},
        // The order of checks: a type error in the gate is found before a range error in the hpf
        // could be, because range checks run last.
        {"type before range",
         {{"hpf", {{"frequencyHz", 1}}}, {"gate", {{"ratio", "x"}}}},
         "Strip parameter must be numeric"},
        {"hpf checked before eq",
         {{"hpf", 5}, {"eq", {{"bands", json::array()}}}},
         "Invalid strip processor"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(refusal(c.value), c.message) << c.what;
    }
}

TEST(StripProcessingParse, NonTextBandTypeFailsWithTheLibraryTypeError) {
    const json value = {
        {"eq", {{"bands", {{{"type", 1}}, json::object(), json::object(), json::object()}}}}};
    EXPECT_THROW((void)parseStripProcessing(value), json::type_error);
}

TEST(StripProcessingParse, AcceptedInputsAndTheirRecords) {
    StripProcessing bellBands;
    for (EqBand& band : bellBands.eq.bands) {
        band.type = kEqBell;
    }
    StripProcessing partial;
    partial.hpf.enabled = true;
    partial.gate.holdMs = 0;
    partial.compressor.ratio = 40;
    StripProcessing typed;
    typed.eq.enabled = true;
    typed.eq.bands[0] = {false, kEqHighShelf, 20.0, -24.0, 0.1};
    typed.eq.bands[1] = {true, kEqLowShelf, 20000.0, 24.0, 18.0};
    typed.eq.bands[2].type = kEqBell;
    typed.eq.bands[3].type = kEqBell;

    struct Case {
        const char* what;
        json value;
        StripProcessing expected;
    };
    const Case cases[] = {
        {"empty object", json::object(), StripProcessing{}},
        {"empty gate", {{"gate", json::object()}}, StripProcessing{}},
        {"unknown keys", {{"reverb", 1}, {"hpf", {{"slope", "x"}}}}, StripProcessing{}},
        {"four empty bands lose their shelves",
         {{"eq", {{"bands", {json::object(), json::object(), json::object(), json::object()}}}}},
         bellBands},
        {"partial sections with integer numbers",
         {{"hpf", {{"enabled", true}}},
          {"gate", {{"holdMs", 0}}},
          {"compressor", {{"ratio", 40u}}}},
         partial},
        {"capitalised types and range edges",
         {{"eq",
           {{"enabled", true},
            {"bands",
             {{{"enabled", false},
               {"type", "HighShelf"},
               {"frequencyHz", 20},
               {"gainDb", -24},
               {"q", 0.1}},
              {{"type", "LowShelf"}, {"frequencyHz", 20000}, {"gainDb", 24.0}, {"q", 18}},
              {{"type", "Bell"}},
              {{"type", "bell"}}}}}}},
         typed},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseStripProcessing(c.value), c.expected) << c.what;
    }
}

TEST(StripProcessingJson, WritesEveryKeyAsFloatingPointAndReadsBack) {
    StripProcessing record;
    record.hpf = {true, 120.5};
    record.eq.enabled = true;
    record.eq.bands[2] = {false, kEqHighShelf, 4000.0, -3.5, 2.0};
    record.gate.enabled = true;
    record.gate.thresholdDb = -45;
    record.compressor.makeupDb = 6;

    for (const StripProcessing& r : {StripProcessing{}, record}) {
        const json written = stripProcessingToJson(r);
        EXPECT_EQ(parseStripProcessing(written), r);
        // Through text too, as sessions store it.
        EXPECT_EQ(parseStripProcessing(json::parse(written.dump())), r);
    }

    const json d = stripProcessingToJson(StripProcessing{});
    EXPECT_EQ(d.size(), 4u);
    EXPECT_EQ(d["hpf"].size(), 2u);
    EXPECT_EQ(d["eq"].size(), 2u);
    EXPECT_EQ(d["gate"].size(), 8u);
    EXPECT_EQ(d["compressor"].size(), 7u);
    EXPECT_TRUE(d["hpf"]["enabled"].is_boolean());
    EXPECT_TRUE(d["hpf"]["frequencyHz"].is_number_float());
    EXPECT_TRUE(d["gate"]["holdMs"].is_number_float());
    EXPECT_TRUE(d["compressor"]["makeupDb"].is_number_float());
    ASSERT_EQ(d["eq"]["bands"].size(), 4u);
    const char* types[] = {"lowShelf", "bell", "bell", "highShelf"};
    for (int i = 0; i < 4; ++i) {
        const json& band = d["eq"]["bands"][i];
        EXPECT_EQ(band.size(), 5u);
        EXPECT_EQ(band["type"], types[i]);
        EXPECT_TRUE(band["q"].is_number_float());
        EXPECT_TRUE(band["enabled"].get<bool>());
    }
    EXPECT_DOUBLE_EQ(d["eq"]["bands"][0]["q"].get<double>(), 1.0 / std::sqrt(2.0));
}

TEST(StripProcessingRange, BoundsAreInclusiveAndEveryFieldIsChecked) {
    using Edit = std::function<void(StripProcessing&, double)>;
    struct Field {
        const char* name;
        double low;
        double high;
        double step; // the smallest move that leaves the range
        Edit set;
    };
    const double fine = 1e-9;
    const Field fields[] = {
        {"hpf frequency", 20, 2000, fine,
         [](StripProcessing& r, double v) { r.hpf.frequencyHz = v; }},
        {"band frequency", 20, 20000, fine,
         [](StripProcessing& r, double v) { r.eq.bands[3].frequencyHz = v; }},
        {"band gain", -24, 24, fine,
         [](StripProcessing& r, double v) { r.eq.bands[1].gainDb = v; }},
        {"band q", 0.1, 18, fine, [](StripProcessing& r, double v) { r.eq.bands[2].q = v; }},
        {"band type", 0, 2, 1,
         [](StripProcessing& r, double v) { r.eq.bands[0].type = static_cast<int32_t>(v); }},
        {"gate threshold", -100, 0, fine,
         [](StripProcessing& r, double v) { r.gate.thresholdDb = v; }},
        {"gate ratio", 1, 20, fine, [](StripProcessing& r, double v) { r.gate.ratio = v; }},
        {"gate range", 0, 90, fine, [](StripProcessing& r, double v) { r.gate.rangeDb = v; }},
        {"gate knee", 0, 24, fine, [](StripProcessing& r, double v) { r.gate.kneeDb = v; }},
        {"gate attack", 0.05, 200, fine, [](StripProcessing& r, double v) { r.gate.attackMs = v; }},
        {"gate hold", 0, 2000, fine, [](StripProcessing& r, double v) { r.gate.holdMs = v; }},
        {"gate release", 1, 4000, fine, [](StripProcessing& r, double v) { r.gate.releaseMs = v; }},
        {"comp threshold", -90, 0, fine,
         [](StripProcessing& r, double v) { r.compressor.thresholdDb = v; }},
        {"comp ratio", 1, 40, fine, [](StripProcessing& r, double v) { r.compressor.ratio = v; }},
        {"comp knee", 0, 24, fine, [](StripProcessing& r, double v) { r.compressor.kneeDb = v; }},
        {"comp attack", 0.05, 1000, fine,
         [](StripProcessing& r, double v) { r.compressor.attackMs = v; }},
        {"comp release", 1, 4000, fine,
         [](StripProcessing& r, double v) { r.compressor.releaseMs = v; }},
        {"comp makeup", -24, 24, fine,
         [](StripProcessing& r, double v) { r.compressor.makeupDb = v; }},
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const Field& f : fields) {
        const bool integral = f.step == 1;
        struct Probe {
            double value;
            bool valid;
        };
        const Probe probes[] = {{f.low, true},
                                {f.high, true},
                                {f.low - f.step * std::max(1.0, std::abs(f.low)), false},
                                {f.high + f.step * std::max(1.0, std::abs(f.high)), false},
                                {integral ? f.high + 1 : nan, false}};
        for (const Probe& p : probes) {
            StripProcessing r;
            f.set(r, p.value);
            EXPECT_EQ(r.isValid(), p.valid) << f.name << " = " << p.value;
        }
    }
    EXPECT_TRUE(StripProcessing{}.isValid());
}

TEST(StripProcessingEnabled, ReadsOnlyABooleanFromAnObject) {
    EXPECT_TRUE(readProcessorEnabled(json::object(), true));
    EXPECT_FALSE(readProcessorEnabled(json::object(), false));
    EXPECT_TRUE(readProcessorEnabled({{"enabled", true}}, false));
    EXPECT_FALSE(readProcessorEnabled({{"enabled", false}}, true));
    auto message = [](const json& section) -> std::string {
        try {
            (void)readProcessorEnabled(section, false);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_EQ(message(json::array()), "Invalid strip processor");
    EXPECT_EQ(message("on"), "Invalid strip processor");
    EXPECT_EQ(message({{"enabled", "true"}}), "Processor enabled must be boolean");
    EXPECT_EQ(message({{"enabled", nullptr}}), "Processor enabled must be boolean");
}

} // namespace
} // namespace kestravon::ruvi
