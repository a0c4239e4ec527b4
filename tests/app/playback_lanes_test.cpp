// WAV files as playback lanes, end to end: a real file written by sox, loaded by the
// "loadPlayback" job, routed by a session to the main bus, played, sought, looped and stopped on a
// running console, then unloaded; what the virtual output plays is measured at every step.

#include "app/application_impl.h"

#include "tests/app/app_test_support.h"
#include "tests/app/live_session_fixture.h"
#include "tests/app/session_test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestravon::ruvi {
namespace {

using testing::HeadlessConsole;
using testing::Json;

constexpr int kRate = 48000;
constexpr double kFileHz = 440.0;
constexpr double kFileAmplitude = 0.25;
constexpr std::uint64_t kFileFrames = kRate; // one second
constexpr float kSilent = 1e-4f;
constexpr float kPlaying = 0.1f;

// A stereo 24-bit file of one second of a 440 Hz sine at a quarter of full scale, by sox.
std::string writeToneFile(const testing::TempFolder& folder) {
    const std::string path = folder.file("tone-440.wav");
    const int status = testing::runCommand("sox -n -r 48000 -c 2 -b 24 '" + path +
                                           "' synth 1 sine 440 vol 0.25 2>/dev/null");
    return status == 0 ? path : std::string();
}

// A job request answered at once with its pending reply, then its real reply from the job poll.
Json runJob(HeadlessConsole& console, const std::string& method, const Json& params, int id) {
    const std::optional<Json> pending =
        console.app->beginAsyncRequest({{"id", id}, {"method", method}, {"params", params}});
    if (!pending || !pending->value("ok", false)) {
        ADD_FAILURE() << method << " was not started: " << (pending ? pending->dump() : "none");
        return pending.value_or(Json());
    }
    EXPECT_EQ(pending->at("/result/pending"_json_pointer), true);
    std::vector<Json> replies;
    const bool done = testing::eventually(
        [&] {
            replies = console.app->pollAsyncJob();
            return !replies.empty();
        },
        30.0);
    if (!done) {
        ADD_FAILURE() << method << " never finished";
        return nullptr;
    }
    EXPECT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].at("id"), id);
    return replies[0];
}

// A stereo strip playing lanes 0 and 1 of a loaded file into main-lr.
Json fileSession(const std::string& fileId, int sampleRate = kRate,
                 Json channels = Json::array({0, 1})) {
    const int width = static_cast<int>(channels.size());
    Json strip = {{"id", "wav"},
                  {"kind", "input"},
                  {"width", width},
                  {"source", {{"kind", "file"}, {"fileId", fileId}, {"channels", channels}}},
                  {"routes", Json::array({{{"destinationId", "main-lr"}}})}};
    return testing::nativeDescription(Json::array({strip, testing::mainBus()}), sampleRate);
}

std::vector<float> slice(const std::vector<float>& x, std::uint64_t from, std::uint64_t to) {
    from = std::min<std::uint64_t>(from, x.size());
    to = std::min<std::uint64_t>(to, x.size());
    return {x.begin() + static_cast<std::ptrdiff_t>(from),
            x.begin() + static_cast<std::ptrdiff_t>(std::max(from, to))};
}

// The last sample above `threshold` at or after `from`, or `from` when there is none.
std::uint64_t lastAbove(const std::vector<float>& x, float threshold, std::uint64_t from) {
    std::uint64_t last = from;
    for (std::uint64_t i = from; i < x.size(); ++i) {
        if (std::fabs(x[i]) > threshold) {
            last = i;
        }
    }
    return last;
}

// Where the output is in frames, once it has played `seconds` more.
std::uint64_t playOn(HeadlessConsole& console, double seconds) {
    const std::uint64_t target =
        console.output->framesReleased() + static_cast<std::uint64_t>(seconds * kRate);
    EXPECT_TRUE(testing::eventually([&] { return console.output->framesReleased() >= target; },
                                    60.0 + seconds));
    return console.output->framesReleased();
}

void expectFileTone(const std::vector<float>& segment) {
    const testing::ToneFit fit = testing::fitTone(segment, kRate, kFileHz);
    EXPECT_NEAR(fit.frequency, kFileHz, 0.5);
    EXPECT_NEAR(fit.amplitude, kFileAmplitude, 0.005);
    EXPECT_LT(fit.thdPlusNoiseDb, -50.0);
}

class PlaybackLanes : public ::testing::Test {
protected:
    void SetUp() override {
        wav = writeToneFile(folder);
        ASSERT_FALSE(wav.empty()) << "sox could not write the test file";
    }

    static testing::ConsoleSetup silentInput() {
        testing::ConsoleSetup setup;
        setup.inputSignal = VirtualSignal::silence;
        setup.recordSeconds = 12.0;
        return setup;
    }

    // Loads the file through the job; the reply's result, or null after a reported failure.
    Json load(HeadlessConsole& console) {
        const Json reply = runJob(console, "loadPlayback", {{"paths", Json::array({wav})}}, 21);
        if (!reply.value("ok", false)) {
            ADD_FAILURE() << "loadPlayback failed: " << reply.dump();
            return nullptr;
        }
        return reply.at("result");
    }

    testing::TempFolder folder;
    std::string wav;
};

TEST_F(PlaybackLanes, AFilePlaysSeeksLoopsAndStopsOnTheOutput) {
    HeadlessConsole console(silentInput());
    auto& impl = console.app->impl();
    const std::int64_t start = impl.revision;

    const Json loaded = load(console);
    ASSERT_FALSE(loaded.is_null());
    const Json files = Json::array({{{"channels", 2},
                                     {"firstLane", 0},
                                     {"id", wav},
                                     {"name", "tone-440.wav"},
                                     {"originalFrames", kFileFrames},
                                     {"path", wav},
                                     {"sampleRate", kRate}}});
    EXPECT_EQ(loaded.at("files"), files);
    EXPECT_EQ(loaded.at("revision"), start + 1);
    const Json& bank = loaded.at("/status/playback"_json_pointer);
    EXPECT_EQ(bank.at("routingReady"), false);
    EXPECT_EQ(bank.at("state"), "ready");
    EXPECT_EQ(bank.at("loadedChannels"), 2);
    EXPECT_EQ(bank.at("durationFrames"), kFileFrames);
    EXPECT_EQ(loaded.at("/status/controlJob/method"_json_pointer), "loadPlayback");

    // The new lanes play nowhere until a session routes them.
    EXPECT_EQ(console.refusal("startAudio", console.startParams()),
              "Apply the file routing after loading or unloading WAV files");
    const Json applied = console.applySession(fileSession(wav));
    ASSERT_FALSE(applied.is_null());
    EXPECT_EQ(impl.nativeSession.at("playbackChannels"), 2);
    EXPECT_EQ(impl.nativeSession.at("playbackFiles"), files);
    EXPECT_EQ(console.refusal("playPlayback"),
              "Apply the file routing and start audio before playback");
    const Json started = console.call("startAudio", console.startParams());
    ASSERT_TRUE(started.at("/audio/running"_json_pointer).get<bool>());
    EXPECT_EQ(started.at("/playback/routingReady"_json_pointer), true);
    const std::int64_t revision = impl.revision;

    // Play: the whole file once, then silence.
    playOn(console, 0.2);
    const std::uint64_t atPlay = console.output->framesReleased();
    const Json playing = console.call("playPlayback");
    EXPECT_EQ(playing.at("/playback/playing"_json_pointer), true);
    playOn(console, 1.5);
    EXPECT_TRUE(testing::eventually(
        [&] { return console.call("status").at("/playback/state"_json_pointer) == "ended"; }));
    std::uint64_t toneStart = 0;
    for (int channel = 0; channel < 2; ++channel) {
        SCOPED_TRACE(channel);
        const std::vector<float> out = console.recordedChannel(channel);
        EXPECT_LT(testing::peakOf(slice(out, 0, atPlay)), kSilent) << "played before playPlayback";
        const std::uint64_t first = testing::firstAbove(out, kPlaying, atPlay);
        ASSERT_LT(first, atPlay + kRate / 10) << "the file did not start within 100 ms";
        const std::uint64_t last = lastAbove(out, kPlaying, first);
        EXPECT_NEAR(static_cast<double>(last - first), static_cast<double>(kFileFrames), 64.0);
        expectFileTone(slice(out, first + kRate / 10, first + kFileFrames - kRate / 10));
        toneStart = first;
    }

    // Seek to the middle: the second half plays, half a second long.
    const Json sought = console.call("seekPlayback", {{"frame", kFileFrames / 2}});
    EXPECT_EQ(sought.at("/playback/requestedFrame"_json_pointer), kFileFrames / 2);
    const std::uint64_t atSeekPlay = console.output->framesReleased();
    ASSERT_FALSE(console.call("playPlayback").is_null());
    playOn(console, 0.8);
    {
        const std::vector<float> out = console.recordedChannel(0);
        const std::uint64_t first = testing::firstAbove(out, kPlaying, atSeekPlay);
        ASSERT_LT(first, atSeekPlay + kRate / 10);
        EXPECT_NEAR(static_cast<double>(lastAbove(out, kPlaying, first) - first),
                    static_cast<double>(kFileFrames / 2), 64.0);
        EXPECT_GT(first, toneStart + kFileFrames);
    }

    // Loop the whole file: it plays on past its end without a gap.
    const Json looped = console.call("setPlaybackLoop", {{"enabled", true}});
    EXPECT_EQ(looped.at("/playback/looping"_json_pointer), true);
    EXPECT_EQ(looped.at("/playback/loopStartFrame"_json_pointer), 0);
    EXPECT_EQ(looped.at("/playback/loopEndFrame"_json_pointer), kFileFrames);
    const std::uint64_t atLoopPlay = console.output->framesReleased();
    ASSERT_FALSE(console.call("playPlayback").is_null()); // an ended bank starts again at 0
    playOn(console, 2.6);
    EXPECT_EQ(console.call("status").at("/playback/state"_json_pointer), "playing");
    const std::uint64_t atStop = console.output->framesReleased();
    const Json halted = console.call("stopPlayback");
    EXPECT_EQ(halted.at("/playback/playing"_json_pointer), false);
    playOn(console, 0.4);
    for (int channel = 0; channel < 2; ++channel) {
        SCOPED_TRACE(channel);
        const std::vector<float> out = console.recordedChannel(channel);
        const std::uint64_t first = testing::firstAbove(out, kPlaying, atLoopPlay);
        ASSERT_LT(first, atLoopPlay + kRate / 10);
        // 2.4 s of tone in 10 ms windows: every window holds the tone at its peak.
        for (std::uint64_t at = first; at + kRate / 100 <= first + 12 * kRate / 5;
             at += kRate / 100) {
            const float peak = testing::peakOf(slice(out, at, at + kRate / 100));
            if (peak < 0.9f * static_cast<float>(kFileAmplitude)) {
                ADD_FAILURE() << "a gap of level " << peak << " at " << (at - first)
                              << " frames into the loop";
                break;
            }
        }
        // Across the loop point the sine goes on as one tone (440 whole cycles per pass).
        expectFileTone(
            slice(out, first + kFileFrames - kRate / 20, first + kFileFrames + kRate / 20));
        expectFileTone(
            slice(out, first + 2 * kFileFrames - kRate / 20, first + 2 * kFileFrames + kRate / 20));
        // Stopped: silence once the blocks already under way have played.
        EXPECT_LT(testing::peakOf(slice(out, atStop + kRate / 10, atStop + 3 * kRate / 10)),
                  kSilent);
    }
    EXPECT_EQ(impl.revision, revision) << "the transport does not step the revision";
    EXPECT_EQ(console.refusal("unloadPlayback"), "Stop audio before unloading WAV files");

    // Stop audio, unload: the lanes are gone, and audio waits for a session applied without them.
    const Json stopped = runJob(console, "stopAudio", Json::object(), 22);
    ASSERT_TRUE(stopped.value("ok", false)) << stopped.dump();
    const Json unloaded = console.call("unloadPlayback");
    EXPECT_EQ(unloaded.at("revision"), revision + 1);
    EXPECT_EQ(unloaded.at("/playback/files"_json_pointer), Json::array());
    EXPECT_EQ(unloaded.at("/playback/loadedChannels"_json_pointer), 0);
    EXPECT_EQ(unloaded.at("/playback/state"_json_pointer), "empty");
    EXPECT_EQ(unloaded.at("/playback/routingReady"_json_pointer), false);
    const std::string routeFirst = "Apply the file routing after loading or unloading WAV files";
    EXPECT_EQ(console.refusal("startAudio", console.startParams()), routeFirst);
    // The session that read the lanes can no longer be applied, and a refused apply routes
    // nothing, so audio stays refused.
    EXPECT_EQ(console.refusal("applySession", {{"native", fileSession(wav)}}),
              "Load the source WAV files on the host before applying this project");
    EXPECT_EQ(console.refusal("startAudio", console.startParams()), routeFirst);
    ASSERT_FALSE(console.applySession(testing::toneToMainSession()).is_null());
    EXPECT_FALSE(impl.nativeSession.contains("/playbackFiles/0"_json_pointer));
    EXPECT_TRUE(console.call("startAudio", console.startParams())
                    .at("/audio/running"_json_pointer)
                    .get<bool>());
}

// With lanes loaded, the refusals that depend on them; each leaves every document alone.
TEST_F(PlaybackLanes, RefusalsThatDependOnTheLoadedLanes) {
    HeadlessConsole console(silentInput());
    ASSERT_FALSE(load(console).is_null());
    ASSERT_FALSE(console.applySession(fileSession(wav)).is_null());
    struct Row {
        const char* what;
        const char* method;
        Json params;
        std::string error;
    };
    const std::string region = "Invalid playback loop region";
    const Row rows[] = {
        {"session at another rate",
         "applySession",
         {{"native", fileSession(wav, 44100)}},
         "Reload WAV files after changing project sample rate"},
        {"lane the file lacks",
         "applySession",
         {{"native", fileSession(wav, kRate, Json::array({0, 2}))}},
         "Playback lane outside loaded file"},
        {"lanes wider than the strip",
         "applySession",
         {{"native",
           [&] {
               Json session = fileSession(wav);
               session["nodes"][0]["width"] = 1;
               return session;
           }()}},
         "Playback lanes do not match strip width"},
        {"audio at another rate", "startAudio",
         [&] {
             Json params = console.startParams();
             params["requestedRate"] = 44100;
             return params;
         }(),
         "Reload WAV files at the requested sample rate"},
        {"loop starting at the end",
         "setPlaybackLoop",
         {{"enabled", true}, {"startFrame", kFileFrames}},
         region},
        {"loop ending past the file",
         "setPlaybackLoop",
         {{"enabled", true}, {"endFrame", kFileFrames + 1}},
         region},
        {"empty loop",
         "setPlaybackLoop",
         {{"enabled", true}, {"startFrame", 100}, {"endFrame", 100}},
         region},
        {"loop turned off with a bad region",
         "setPlaybackLoop",
         {{"enabled", false}, {"startFrame", 200}, {"endFrame", 100}},
         region},
        {"play without audio", "playPlayback", Json::object(),
         "Apply the file routing and start audio before playback"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const livetest::Held before = livetest::held(*console.app);
        EXPECT_EQ(console.refusal(row.method, row.params), row.error);
        EXPECT_TRUE(livetest::held(*console.app) == before) << "documents or revision changed";
        EXPECT_EQ(console.call("status").at("/playback/looping"_json_pointer), false);
    }
    // A seek past the end is held at the end rather than refused.
    EXPECT_EQ(console.call("seekPlayback", {{"frame", 10 * kFileFrames}})
                  .at("/playback/requestedFrame"_json_pointer),
              kFileFrames);
}

// The job's own refusals come at once, before any job exists.
TEST_F(PlaybackLanes, LoadRefusalsStartNoJob) {
    HeadlessConsole console(silentInput());
    ASSERT_FALSE(console.applySession(testing::toneToMainSession()).is_null());
    struct Row {
        const char* what;
        Json request;
        std::string error;
    };
    const Row rows[] = {
        {"no paths",
         {{"method", "loadPlayback"}, {"params", Json::object()}},
         "Choose between 1 and 128 local WAV files"},
        {"empty paths",
         {{"method", "loadPlayback"}, {"params", {{"paths", Json::array()}}}},
         "Choose between 1 and 128 local WAV files"},
        {"paths not a list",
         {{"method", "loadPlayback"}, {"params", {{"paths", wav}}}},
         "Choose between 1 and 128 local WAV files"},
        {"from the LAN",
         {{"method", "loadPlayback"},
          {"_remote", true},
          {"params", {{"paths", Json::array({wav})}}}},
         "File and audio configuration is local-only"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Json request = row.request;
        request["id"] = 5;
        const std::optional<Json> reply = console.app->beginAsyncRequest(request);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(*reply, Json({{"id", 5}, {"ok", false}, {"error", row.error}}));
        EXPECT_FALSE(console.app->jobRunning());
    }
    ASSERT_FALSE(console.call("startAudio", console.startParams()).is_null());
    const std::optional<Json> running = console.app->beginAsyncRequest(
        {{"id", 6}, {"method", "loadPlayback"}, {"params", {{"paths", Json::array({wav})}}}});
    ASSERT_TRUE(running.has_value());
    EXPECT_EQ(running->value("error", ""), "Stop audio and recording before loading files");
    EXPECT_FALSE(console.app->jobRunning());
    // A file the body cannot read fails the job, and the bank keeps what it had (nothing).
    const Json stopped = runJob(console, "stopAudio", Json::object(), 7);
    ASSERT_TRUE(stopped.value("ok", false)) << stopped.dump();
    const Json failed =
        runJob(console, "loadPlayback", {{"paths", Json::array({folder.file("none.wav")})}}, 8);
    EXPECT_FALSE(failed.value("ok", true)) << failed.dump();
    EXPECT_FALSE(failed.value("error", "").empty());
    EXPECT_EQ(console.call("status").at("/playback/loadedChannels"_json_pointer), 0);
    EXPECT_EQ(console.call("status").at("/playback/routingReady"_json_pointer), true);
}

// Until the poll collects a file job, only reads pass the gate; the job is collected all the
// same, whether or not its body has finished when a refused request arrives.
TEST_F(PlaybackLanes, WhileAFileJobIsPendingOnlyReadsPass) {
    HeadlessConsole console(silentInput());
    ASSERT_FALSE(console.applySession(testing::toneToMainSession()).is_null());
    const std::optional<Json> pending = console.app->beginAsyncRequest(
        {{"id", 30}, {"method", "loadPlayback"}, {"params", {{"paths", Json::array({wav})}}}});
    ASSERT_TRUE(pending.has_value());
    ASSERT_TRUE(pending->value("ok", false)) << pending->dump();
    ASSERT_TRUE(console.app->jobRunning());
    const livetest::Held before = livetest::held(*console.app);
    const std::string wait =
        "A file operation is completing; wait before changing this configuration";
    const std::pair<const char*, Json> refused[] = {
        {"applySession", {{"native", testing::toneToMainSession()}}},
        {"unloadPlayback", Json::object()},
        {"startAudio", console.startParams()},
        {"playPlayback", Json::object()},
        {"seekPlayback", {{"frame", 0}}},
        {"setParameter", {{"nodeId", "in1"}, {"key", "gainDb"}, {"value", -6}}},
        {"saveSession", {{"path", folder.file("s.json")}}},
    };
    for (const auto& [method, params] : refused) {
        SCOPED_TRACE(method);
        EXPECT_EQ(console.refusal(method, params), wait);
    }
    for (const char* method : {"status", "getControlState", "capabilities"}) {
        EXPECT_FALSE(console.call(method).is_null()) << method;
    }
    EXPECT_EQ(console.call("status").at("/controlJob/busy"_json_pointer), true);
    const std::optional<Json> second = console.app->beginAsyncRequest(
        {{"id", 31}, {"method", "loadPlayback"}, {"params", {{"paths", Json::array({wav})}}}});
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(*second, Json({{"id", 31},
                             {"ok", false},
                             {"error", "A file operation is still completing; please wait"}}));
    EXPECT_TRUE(livetest::held(*console.app) == before);

    std::vector<Json> replies;
    ASSERT_TRUE(testing::eventually(
        [&] {
            replies = console.app->pollAsyncJob();
            return !replies.empty();
        },
        30.0));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].at("id"), 30);
    EXPECT_TRUE(replies[0].at("ok").get<bool>()) << replies[0].dump();
    EXPECT_FALSE(console.app->jobRunning());
    EXPECT_FALSE(console.call("applySession", {{"native", fileSession(wav)}}).is_null());
}

} // namespace
} // namespace kestravon::ruvi
