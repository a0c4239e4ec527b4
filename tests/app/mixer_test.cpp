// The whole audio path, headless: devices, a session, startAudio, and what the output plays.

#include "app/application_impl.h"

#include "tests/app/app_test_support.h"

#include <gtest/gtest.h>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace kestravon::ruvi {
namespace {

using testing::HeadlessConsole;
using testing::Json;

std::set<std::string> keysOf(const Json& object) {
    std::set<std::string> keys;
    for (const auto& item : object.items()) {
        keys.insert(item.key());
    }
    return keys;
}

const Json* meterOf(const Json& snapshot, const std::string& nodeId) {
    for (const Json& m : snapshot.at("meters")) {
        if (m.at("nodeId") == nodeId) {
            return &m;
        }
    }
    return nullptr;
}

TEST(Mixer, ToneInputPlaysOnTheOutputAtItsLevel) {
    HeadlessConsole console;
    const Json devices = console.call("devices");
    ASSERT_EQ(devices.at("devices").size(), 2u);
    EXPECT_EQ(devices.at("devices")[0],
              Json::parse(R"({"id": "virtual:tone-input", "name": "Virtual Test Tone",
                  "physicalUnitId": "virtual:tone-input", "capture": true, "channels": 2,
                  "sampleRate": 48000, "available": true})"));

    ASSERT_FALSE(console.applySession(testing::toneToMainSession()).is_null());
    const Json started = console.call("startAudio", console.startParams());
    EXPECT_EQ(keysOf(started),
              (std::set<std::string>{"revision", "controlJob", "scenes", "inserts", "routing",
                                     "audio", "meters", "stripMeters", "recording", "playback"}));
    EXPECT_TRUE(started.at("audio").at("running").get<bool>());
    EXPECT_EQ(started.at("routing").at("preparedRoutes"),
              Json::parse(R"([{"nodeId": "in1", "destinationId": "main-lr", "tap": "postFader",
                  "gainDb": 0}])"));

    ASSERT_TRUE(console.waitForRecording());
    const Json snapshot = console.call("status");
    EXPECT_TRUE(snapshot.at("audio").at("running").get<bool>());
    EXPECT_GT(snapshot.at("audio").at("callbacks").get<std::int64_t>(), 100);
    EXPECT_EQ(snapshot.at("audio").at("streams").size(), 2u);
    for (const char* node : {"in1", "main-lr"}) {
        SCOPED_TRACE(node);
        const Json* m = meterOf(snapshot, node);
        ASSERT_NE(m, nullptr);
        EXPECT_NEAR(m->at("peakL").get<double>(), testing::kToneAmplitude, 0.01);
        EXPECT_NEAR(m->at("peakR").get<double>(), testing::kToneAmplitude, 0.01);
    }
    EXPECT_EQ(snapshot.at("stripMeters").size(), 2u);

    for (int channel = 0; channel < 2; ++channel) {
        SCOPED_TRACE(channel);
        const auto fit =
            testing::toneOfTail(console.recordedChannel(channel), 48000, testing::kToneHz);
        EXPECT_NEAR(fit.frequency, testing::kToneHz, 2.0);
        EXPECT_NEAR(fit.amplitude, testing::kToneAmplitude, 0.002);
        EXPECT_LT(fit.thdPlusNoiseDb, -50.0);
    }
}

TEST(Mixer, LimiterOnTheMainBusReportsItsLatency) {
    HeadlessConsole console;
    const Json applied = console.applySession(testing::toneToMainSession(
        Json::array(),
        Json::array({testing::insertEntry("limit", testing::zamPlugin("ZaMaximX2"))})));
    ASSERT_FALSE(applied.is_null());
    EXPECT_EQ(applied.at("latencySamples"), 480);
    const Json started = console.call("startAudio", console.startParams());
    EXPECT_EQ(started.at("audio").at("graphLatencySamples"), 480);
    ASSERT_EQ(started.at("inserts").size(), 1u);
    EXPECT_EQ(started.at("inserts")[0].at("slotId"), "limit");
    EXPECT_EQ(started.at("inserts")[0].at("latencySamples"), 480);
}

// The length of what follows the first click that reached the output: the last sample above
// -60 dB within 0.25 s of it.
std::size_t ringAfterFirstClick(HeadlessConsole& console) {
    // The reverb may stay silent for a while after it starts: wait for a click and its tail.
    std::vector<float> x;
    std::size_t click = 0;
    EXPECT_TRUE(testing::eventually(
        [&] {
            x = console.recordedChannel(0);
            click = testing::firstAbove(x, 0.01f);
            return click + 12000 <= x.size();
        },
        60.0))
        << "no click reached the output";
    std::size_t last = click;
    for (std::size_t i = click; i < std::min(x.size(), click + 12000); ++i) {
        if (std::fabs(x[i]) > 0.001f) {
            last = i;
        }
    }
    return last - std::min(last, click);
}

TEST(Mixer, ReverbOnAnInputLengthensAClick) {
    testing::ConsoleSetup setup;
    setup.inputSignal = VirtualSignal::impulse;
    setup.amplitude = 0.5;
    setup.impulseInterval = 24000;
    setup.recordSeconds = 10.0;

    HeadlessConsole dry(setup);
    ASSERT_FALSE(dry.applySession(testing::toneToMainSession()).is_null());
    ASSERT_FALSE(dry.call("startAudio", dry.startParams()).is_null());
    const std::size_t dryRing = ringAfterFirstClick(dry);

    // ZamVerb's convolution engine leaves about 116 KiB of its own allocations behind with every
    // instance; the leak checker looks away while this one lives.
#ifdef __SANITIZE_ADDRESS__
    __lsan_disable();
#endif
    auto wet = std::make_unique<HeadlessConsole>(setup);
    // The reverb's convolution runs in whole blocks of the size it was opened for.
    Json session = testing::toneToMainSession(
        Json::array({testing::insertEntry("verb", testing::zamPlugin("ZamVerb"))}));
    session["maximumBlock"] = 128;
    const bool started = !wet->applySession(session).is_null() &&
                         !wet->call("startAudio", wet->startParams()).is_null();
    const std::size_t wetRing = started ? ringAfterFirstClick(*wet) : 0;
    wet.reset();
#ifdef __SANITIZE_ADDRESS__
    __lsan_enable();
#endif
    ASSERT_TRUE(started);

    EXPECT_LT(dryRing, 48u);
    EXPECT_GT(wetRing, 2400u) << "the reverb tail is shorter than 50 ms";
}

// The UI thread restarts the device and reads snapshots while the audio thread renders through
// the callback (run under the thread sanitizer too).
TEST(MixerThreading, StartApplyAndStopWhileRendering) {
    HeadlessConsole console;
    ASSERT_FALSE(console
                     .applySession(testing::toneToMainSession(Json::array(
                         {testing::insertEntry("comp", testing::zamPlugin("ZamCompX2"))})))
                     .is_null());
    auto& a = console.app->impl();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        // startAudio publishes its graph while the callback already runs.
        ASSERT_FALSE(console.call("startAudio", console.startParams()).is_null());
        const std::int64_t first = a.backend.status().callbacks;
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(console.call("status").at("audio").at("running"), true);
            EXPECT_EQ(console.call("getControlState").at("status").size(), 10u);
        }
        ASSERT_TRUE(testing::eventually([&] { return a.backend.status().callbacks > first + 50; }));
        a.backend.stop();
        EXPECT_FALSE(console.call("status").at("audio").at("running").get<bool>());
    }
    // Sound got through every restart.
    EXPECT_GT(testing::peakOf(console.recordedChannel(0)), 0.5 * testing::kToneAmplitude);
}

// The destructor stops the device before anything the callback reads goes away.
TEST(MixerThreading, DestroyedWhileAudioRuns) {
    HeadlessConsole console;
    ASSERT_FALSE(console
                     .applySession(testing::toneToMainSession(Json::array(
                         {testing::insertEntry("comp", testing::zamPlugin("ZamCompX2"))})))
                     .is_null());
    ASSERT_FALSE(console.call("startAudio", console.startParams()).is_null());
    const auto folder =
        std::filesystem::temp_directory_path() / ("ruvi-destroy-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    RecorderTakeConfig take;
    take.directory = (folder / "take").string();
    take.blockFrames = 4096;
    take.tracks = {{"in1", "In 1", {0, 1}}};
    auto& recorder = console.app->impl().recorder;
    recorder.begin(take);
    ASSERT_TRUE(testing::eventually([&] { return recorder.status().writtenFrames > 4800; }));

    console.app.reset();
    const std::uint64_t released = console.output->framesReleased();
    testing::runFor(0.1);
    EXPECT_EQ(console.output->framesReleased(), released);
    // The take was closed with its audio.
    EXPECT_GT(std::filesystem::file_size(folder / "take" / "1-in1.wav"), 4800u * 8);
    std::filesystem::remove_all(folder);
}

} // namespace
} // namespace kestravon::ruvi
