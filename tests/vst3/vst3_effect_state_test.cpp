#include "vst3/vst3_effect.h"
#include "vst3/vst3_state_blob.h"

#include "test_plugin_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kestravon::ruvi {
namespace {

using testing::testplugBundle;
using testing::testplugProbe;
using testing::testplugSymbol;

std::uint32_t u32At(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

class Vst3EffectState : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(effect.open(testplugBundle("basic"), 48000.0, 128, 2, error)) << error;
        componentMode =
            testplugSymbol<TestplugKnobFn>("basic", "ruviTestplugSetComponentStateMode");
        controllerMode =
            testplugSymbol<TestplugKnobFn>("basic", "ruviTestplugSetControllerStateMode");
        ASSERT_NE(componentMode, nullptr);
        ASSERT_NE(controllerMode, nullptr);
    }
    void TearDown() override {
        if (componentMode != nullptr) {
            componentMode(0);
            controllerMode(0);
        }
    }

    Vst3Effect effect;
    TestplugKnobFn componentMode = nullptr;
    TestplugKnobFn controllerMode = nullptr;
};

TEST_F(Vst3EffectState, SaveAndRestoreReplaceTheInstance) {
    ASSERT_TRUE(effect.setParameter(0, 0.25));
    ASSERT_TRUE(effect.setParameter(3, 0.75));
    std::string error;
    EXPECT_TRUE(effect.saveState(error).empty());
    EXPECT_EQ(error, "Process pending parameter changes before saving VST3 state.");
    ASSERT_TRUE(effect.process(nullptr, nullptr, 0));

    const std::vector<std::uint8_t> blob = effect.saveState(error);
    ASSERT_FALSE(blob.empty()) << error;
    // "COMP" and four doubles, then the controller's "CTRL".
    EXPECT_EQ(u32At(blob, 24), 4u + 4 * 8);
    EXPECT_EQ(u32At(blob, 28), 4u);
    EXPECT_EQ(blob.size(), 32u + 36 + 4);

    Vst3Effect other;
    ASSERT_TRUE(other.open(testplugBundle("basic"), 48000.0, 128, 2, error));
    TestplugProbe* probe = testplugProbe("basic");
    const int controllerStates = probe->controllerSetStates;
    ASSERT_TRUE(other.restoreState(blob, error)) << error;
    EXPECT_EQ(probe->controllerSetStates, controllerStates + 1);
    const auto parameters = other.parameters();
    EXPECT_EQ(parameters[0].normalized, 0.25);
    EXPECT_EQ(parameters[3].normalized, 0.75);
    EXPECT_EQ(stateHex(other.saveState(error)), stateHex(blob));
}

TEST_F(Vst3EffectState, StatelessPluginsSaveAnEmptyBlob) {
    componentMode(1);
    controllerMode(1);
    std::string error;
    const std::vector<std::uint8_t> blob = effect.saveState(error);
    ASSERT_EQ(blob.size(), 32u) << error;
    EXPECT_EQ(u32At(blob, 24), 0u);
    EXPECT_EQ(u32At(blob, 28), 0u);

    // Nothing to hand back: neither the component nor the controller is asked to read.
    TestplugProbe* probe = testplugProbe("basic");
    const int componentStates = probe->componentSetStates;
    const int mirrored = probe->controllerSetComponentStates;
    const int controllerStates = probe->controllerSetStates;
    ASSERT_TRUE(effect.restoreState(blob, error)) << error;
    EXPECT_EQ(probe->componentSetStates, componentStates);
    EXPECT_EQ(probe->controllerSetComponentStates, mirrored);
    EXPECT_EQ(probe->controllerSetStates, controllerStates);
}

TEST_F(Vst3EffectState, CaptureFailures) {
    struct Case {
        int component;
        int controller;
        const char* message;
    };
    const std::vector<Case> cases = {
        {2, 0, "VST3 component state capture failed."},
        {0, 2, "VST3 controller state exceeds host bound."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        componentMode(c.component);
        controllerMode(c.controller);
        std::string error;
        EXPECT_TRUE(effect.saveState(error).empty());
        EXPECT_EQ(error, c.message);
    }
    Vst3Effect empty;
    std::string error;
    EXPECT_TRUE(empty.saveState(error).empty());
    EXPECT_EQ(error, "No VST3 instance is open.");
    EXPECT_FALSE(empty.restoreState(Vst3StateBlob{}.encode(), error));
    EXPECT_EQ(error, "No VST3 instance is open.");
}

TEST_F(Vst3EffectState, RefusedRestoreKeepsTheInstance) {
    std::string error;
    ASSERT_TRUE(effect.setParameter(0, 1.0));
    ASSERT_TRUE(effect.process(nullptr, nullptr, 0));
    const std::vector<std::uint8_t> good = effect.saveState(error);
    ASSERT_FALSE(good.empty()) << error;

    Vst3Effect single;
    ASSERT_TRUE(single.open(testplugBundle("single"), 48000.0, 128, 2, error));
    const std::vector<std::uint8_t> otherClass = single.saveState(error);
    ASSERT_FALSE(otherClass.empty()) << error;

    std::vector<std::uint8_t> trailing = good;
    trailing.push_back(0);
    std::vector<std::uint8_t> badController = good;
    badController.at(32 + 36) = '!'; // the controller's own tag
    std::vector<std::uint8_t> badComponent = good;
    badComponent[32] = '?';

    struct Case {
        const char* name;
        std::vector<std::uint8_t> blob;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"other class", otherClass, "Invalid or mismatched VST3 host state."},
        {"trailing byte", trailing, "Invalid VST3 state lengths."},
        {"component refuses", badComponent, "VST3 component rejected state."},
        {"controller refuses", badController, "VST3 controller rejected its state."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(effect.restoreState(c.blob, error));
        EXPECT_EQ(error, c.message);
        ASSERT_TRUE(effect.isOpen());
        EXPECT_EQ(effect.parameters()[0].normalized, 1.0);
    }
    std::vector<float> in(16, 0.25f);
    std::vector<float> outL(16);
    std::vector<float> outR(16);
    const float* inputs[] = {in.data(), in.data()};
    float* outputs[] = {outL.data(), outR.data()};
    ASSERT_TRUE(effect.process(inputs, outputs, 16));
    EXPECT_FLOAT_EQ(outL[0], 0.5f);
}

} // namespace
} // namespace kestravon::ruvi
