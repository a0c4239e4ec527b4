// Recording from a running console, end to end: a headless Application on virtual endpoints,
// driven through its requests and job polls the way the shell's timer drives it, with the take
// read back by sox.

#include "app/application.h"
#include "app/application_impl.h"

#include "audio/endpoint_catalogue.h"
#include "audio/virtual_endpoints.h"
#include "media/take_journal.h"
#include "media/take_wav_header.h"
#include "tests/support/recorder_test_support.h"
#include "tests/support/virtual_audio.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestravon::ruvi {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using testing::hashPrefix;
using testing::readJournal;
using testing::ReadOnlyFolder;
using testing::readWholeFile;
using testing::TakeTempDir;
using testing::trackData;

constexpr int kRate = 48000;
constexpr int kInputChannels = 3;
constexpr int kRampSeconds = 30;

// The capture endpoint's content: on lane c a slow ramp of its own slope and offset, so a gap, a
// repeated block or a swapped lane shows in the recorded samples. The resampler of a secondary
// endpoint interpolates between input frames; a ramp survives that up to rounding.
double rampValue(int lane, double frame) {
    const double step = 1.6 / (kRate * double{kRampSeconds});
    switch (lane) {
    case 0:
        return -0.8 + frame * step;
    case 1:
        return 0.8 - frame * step;
    default:
        return -0.4 + frame * step * 0.5;
    }
}

double rampStep(int lane) {
    return std::abs(rampValue(lane, 1) - rampValue(lane, 0));
}

std::vector<float> rampSamples() {
    std::vector<float> samples(std::size_t{kRate} * kRampSeconds * kInputChannels);
    for (std::size_t n = 0; n < samples.size() / kInputChannels; ++n) {
        for (int c = 0; c < kInputChannels; ++c) {
            samples[n * kInputChannels + c] = static_cast<float>(rampValue(c, double(n)));
        }
    }
    return samples;
}

struct Console {
    Console() {
        set->add(testing::endpoint("out", DataFlow::render));
        VirtualEndpointSetup in = testing::endpoint(
            "stage", DataFlow::capture, makeWaveFormat(true, kInputChannels, kRate, 32));
        in.signal = VirtualSignal::samples;
        in.samples = rampSamples();
        stage = set->add(std::move(in));
        VirtualEndpointSetup spare = testing::endpoint("spare", DataFlow::capture);
        spare.signal = VirtualSignal::tone;
        this->spare = set->add(std::move(spare));
        app = std::make_unique<Application>(testing::catalogueOf(set));
    }

    Json request(const std::string& method, Json params = Json::object()) {
        return app->handleRequest(
            {{"id", ++id}, {"method", method}, {"params", std::move(params)}});
    }

    // A job method: the pending reply, then the shell's timer (poll and snapshot every 10 ms)
    // until its real reply comes.
    Json job(const std::string& method, Json params = Json::object()) {
        const auto pending =
            app->beginAsyncRequest({{"id", ++id}, {"method", method}, {"params", params}});
        if (!pending || !pending->at("ok").get<bool>()) {
            return pending ? *pending : Json();
        }
        return awaitJob();
    }

    Json awaitJob() {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < deadline) {
            auto replies = app->pollAsyncJob();
            if (!replies.empty()) {
                return replies.front();
            }
            (void)app->buildControlState();
            std::this_thread::sleep_for(10ms);
        }
        return {{"ok", false}, {"error", "the job did not finish"}};
    }

    // Runs the timer for `duration` of streaming.
    void run(std::chrono::milliseconds duration) {
        const auto until = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < until) {
            (void)app->pollAsyncJob();
            (void)app->buildControlState();
            std::this_thread::sleep_for(20ms);
        }
    }

    static Json session(bool withSpare) {
        const auto port = [](const char* device, int channel) {
            return Json{{"deviceId", device}, {"channel", channel}};
        };
        Json nodes = {
            {{"id", "mic"},
             {"name", "Lead vocal"},
             {"kind", "input"},
             {"width", 1},
             {"source", {{"kind", "device"}, {"ports", {port("virtual:stage", 0)}}}},
             {"routes", {{{"destinationId", "main-lr"}}}}},
            {{"id", "pair"},
             {"kind", "input"},
             {"width", 2},
             {"source",
              {{"kind", "device"},
               {"ports", {port("virtual:stage", 1), port("virtual:stage", 2)}}}},
             {"routes", {{{"destinationId", "main-lr"}}}}},
            {{"id", "main-lr"},
             {"kind", "bus"},
             {"width", 2},
             {"outputs", {port("virtual:out", 0), port("virtual:out", 1)}}},
        };
        if (withSpare) {
            nodes.push_back(
                {{"id", "spare"},
                 {"kind", "input"},
                 {"width", 1},
                 {"source", {{"kind", "device"}, {"ports", {port("virtual:spare", 0)}}}},
                 {"routes", {{{"destinationId", "main-lr"}}}}});
        }
        return {{"format", "kestravon-live-native-0.1"},
                {"sampleRate", kRate},
                {"mainId", "main-lr"},
                {"nodes", nodes}};
    }

    static Json audioParams(bool withSpare) {
        Json inputs = {{{"id", "virtual:stage"}}};
        if (withSpare) {
            inputs.push_back({{"id", "virtual:spare"}});
        }
        return {{"requestedRate", kRate},
                {"requestedBlock", 128},
                {"masterOutputId", "virtual:out"},
                {"outputs", {{{"id", "virtual:out"}}}},
                {"inputs", inputs}};
    }

    // devices, applySession and startAudio; true when all three answered ok.
    ::testing::AssertionResult start(bool withSpare = false) {
        for (const Json& reply : {request("devices"), request("applySession", session(withSpare)),
                                  request("startAudio", audioParams(withSpare))}) {
            if (!reply.at("ok").get<bool>()) {
                return ::testing::AssertionFailure() << reply.dump();
            }
        }
        return ::testing::AssertionSuccess();
    }

    Json startRecording(const std::string& directory, Json nodeIds = {"mic", "pair"}) {
        return job("startRecording", {{"nodeIds", std::move(nodeIds)}, {"directory", directory}});
    }

    std::shared_ptr<VirtualEndpointSet> set = std::make_shared<VirtualEndpointSet>();
    std::shared_ptr<VirtualEndpoint> stage;
    std::shared_ptr<VirtualEndpoint> spare;
    std::unique_ptr<Application> app;
    int id = 0;
};

std::string commandOutput(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out.append(buffer, n);
    }
    ::pclose(pipe);
    return out;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

std::string onlyTakeFolder(const std::string& parent) {
    std::string found;
    for (const auto& entry : std::filesystem::directory_iterator(parent)) {
        if (entry.path().filename().string().starts_with("Take-")) {
            found = entry.path().string();
        }
    }
    return found;
}

// Every committed hash covers exactly the first "frames" frames of its track.
void expectCommitsMatchTheFiles(const std::string& folder, const Json& manifest) {
    const auto journal = readJournal(folder);
    int commits = 0;
    for (const Json& line : journal) {
        if (line.at("event") != "committed") {
            continue;
        }
        ++commits;
        const auto frames = line.at("frames").get<std::uint64_t>();
        for (std::size_t t = 0; t < manifest.at("tracks").size(); ++t) {
            const Json& track = manifest["tracks"][t];
            const std::string data = trackData(folder + "/" + track.at("file").get<std::string>());
            const auto channels = track.at("channels").get<std::uint64_t>();
            EXPECT_EQ(line.at("hashes").at(t).get<std::uint64_t>(),
                      hashPrefix(data, frames * channels * 4))
                << track.at("file") << " at " << frames;
        }
    }
    EXPECT_GE(commits, 2);
}

// The recorded lane is the input ramp from some start frame on: every step between neighbours is
// close to the ramp's own step, never the jump of a dropped or repeated block.
void expectRamp(const std::vector<float>& samples, int width, int channel, int lane, bool gapless) {
    const double step = rampStep(lane);
    const std::size_t frames = samples.size() / width;
    ASSERT_GT(frames, 2u);
    std::size_t bad = 0;
    std::size_t firstBad = frames;
    for (std::size_t i = 1; i < frames; ++i) {
        const double d = std::abs(double(samples[i * width + channel]) -
                                  double(samples[(i - 1) * width + channel]));
        // The resampler steers its step while it settles; a lost or repeated 128-frame block
        // would jump by about 128 steps.
        if (std::abs(d - step) > 8 * step) {
            firstBad = std::min(firstBad, i);
            ++bad;
        }
    }
    if (gapless) {
        EXPECT_EQ(bad, 0u) << "lane " << lane << ": first break at frame " << firstBad << " of "
                           << frames;
    } else {
        // A machine too slow for the device (a sanitizer build) loses input before the tap;
        // capture health reports it, and the recorder keeps what arrived.
        std::cout << "lane " << lane << ": " << bad << " breaks in the input itself\n";
    }
    // The value tells the lane: each one has its own direction and offset.
    const double first = samples[channel];
    const double start = lane == 1 ? (0.8 - first) / step : (first - rampValue(lane, 0)) / step;
    EXPECT_NEAR(rampValue(lane, start), first, 1e-6);
    EXPECT_GE(start, 0.0);
    EXPECT_LT(start, double(kRate) * kRampSeconds);
}

std::vector<float> asFloats(const std::string& bytes) {
    std::vector<float> out(bytes.size() / 4);
    std::memcpy(out.data(), bytes.data(), out.size() * 4);
    return out;
}

TEST(RecordingIntegration, ATakeOfTheRunningConsoleHoldsEveryInputSampleInItsFiles) {
    TakeTempDir dir;
    Console console;
    ASSERT_TRUE(console.start());
    // The stage box reaches the tap through a resampler whose first output rings up from
    // silence; a take starts once it has settled, as any take by hand does.
    ASSERT_TRUE(testing::eventually(
        [&] {
            const Json audio = console.app->buildControlState().at("audio");
            for (const Json& stream : audio.at("streams")) {
                if (stream.at("id") == "virtual:stage" && stream.at("primed") == true) {
                    return true;
                }
            }
            return false;
        },
        20.0));
    console.run(300ms);
    const Json started = console.startRecording(dir.path());
    ASSERT_TRUE(started.at("ok").get<bool>()) << started.dump();
    const Json& recording = started.at("result").at("recording");
    EXPECT_EQ(recording.at("state"), "recording");
    EXPECT_EQ(recording.at("active"), true);
    EXPECT_EQ(started.at("result").at("controlJob").at("phase"), "complete");
    const std::string folder = onlyTakeFolder(dir.path());
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(recording.at("takeDirectory"), folder);

    // Midway the writer stalls for two seconds, as on a disk busy flushing: the ring planned
    // for ten seconds of 128-frame blocks takes it all.
    console.run(500ms);
    console.app->impl().recorder.holdWriterForTesting(true);
    console.run(2000ms);
    console.app->impl().recorder.holdWriterForTesting(false);
    console.run(500ms);
    const Json stopped = console.job("stopRecording");
    ASSERT_TRUE(stopped.at("ok").get<bool>()) << stopped.dump();
    const Json& after = stopped.at("result").at("recording");
    EXPECT_EQ(after.at("state"), "complete");
    EXPECT_EQ(after.at("incomplete"), after.at("captureIssue")); // no tap fault of its own
    EXPECT_EQ(after.at("droppedFrames"), 0);
    const auto frames = after.at("writtenFrames").get<std::uint64_t>();
    EXPECT_GT(frames, 2u * kRate);
    EXPECT_EQ(after.at("committedFrames"), frames);
    EXPECT_EQ(stopped.at("result").at("controlJob").at("method"), "stopRecording");

    // take.json and the journal.
    const Json manifest = Json::parse(readWholeFile(folder + "/take.json"));
    EXPECT_EQ(manifest.at("format"), "kestravon-live-raw-take");
    EXPECT_EQ(manifest.at("sampleRate"), kRate);
    EXPECT_EQ(manifest.at("tracks"), Json::parse(R"([
        {"channels": 1, "file": "1-mic.wav", "id": "mic", "name": "Lead vocal",
         "sourceLanes": [0]},
        {"channels": 2, "file": "2-pair.wav", "id": "pair", "name": "pair",
         "sourceLanes": [1, 2]}])"));
    const auto journal = readJournal(folder);
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal.front(), journalPrepared());
    EXPECT_EQ(journal.back(), journalFinalized(0, frames, 0, 0));
    expectCommitsMatchTheFiles(folder, manifest);

    // Continuity can be asked of the files only when the input path lost nothing during the take
    // (a slow build may start recording before the stage box's resampler has primed).
    const Json& audioEnd = after.at("captureHealth");
    const bool gapless = audioEnd.at("missingFrames") == 0 && audioEnd.at("discontinuities") == 0 &&
                         audioEnd.at("startupMissingFrames") == 0;
    // sox, an independent reader, agrees on the format and on every byte.
    const struct {
        const char* file;
        int channels;
        std::vector<int> lanes;
    } tracks[] = {{"1-mic.wav", 1, {0}}, {"2-pair.wav", 2, {1, 2}}};
    for (const auto& track : tracks) {
        SCOPED_TRACE(track.file);
        const std::string path = folder + "/" + track.file;
        EXPECT_EQ(trimmed(commandOutput("soxi -r " + path)), std::to_string(kRate));
        EXPECT_EQ(trimmed(commandOutput("soxi -c " + path)), std::to_string(track.channels));
        EXPECT_EQ(trimmed(commandOutput("soxi -s " + path)), std::to_string(frames));
        EXPECT_EQ(trimmed(commandOutput("soxi -b " + path)), "32");
        EXPECT_EQ(trimmed(commandOutput("soxi -e " + path)), "Floating Point PCM");
        // sox carries samples as 32-bit integers inside, so the last bit of a float may differ.
        const std::vector<float> decoded = asFloats(commandOutput("sox " + path + " -t f32 -L -"));
        const std::vector<float> samples = asFloats(trackData(path));
        ASSERT_EQ(decoded.size(), samples.size());
        double worst = 0;
        for (std::size_t i = 0; i < samples.size(); ++i) {
            worst = std::max(worst, std::abs(double(decoded[i]) - double(samples[i])));
        }
        EXPECT_LT(worst, 1e-7);
        for (int c = 0; c < track.channels; ++c) {
            expectRamp(samples, track.channels, c, track.lanes[c], gapless);
        }
    }

    // The final capture health replaced the start document.
    const Json health = Json::parse(readWholeFile(folder + "/capture-health.json"));
    EXPECT_EQ(health.at("format"), "kestravon-live-capture-health-1");
    EXPECT_EQ(health.at("tap"), "after-device-SRC-before-trim-effects-faders");
    EXPECT_EQ(health.at("start").at("tracks"), Json({"mic", "pair"}));
    EXPECT_EQ(health.at("start").at("sampleRate"), kRate);
    EXPECT_EQ(health.at("start").at("nativeSession").at("nodes").size(), 3u);
    const Json& end = health.at("end");
    for (const char* key :
         {"streams", "missingFrames", "discontinuities", "startupMissingFrames", "xruns",
          "renderDeadlineOverruns", "sourceLost", "error", "captureIssue"}) {
        EXPECT_TRUE(end.contains(key)) << key;
    }
    EXPECT_EQ(end.at("streams").size(), 2u); // the output and the stage box
    EXPECT_EQ(end.at("sourceLost"), false);
    EXPECT_EQ(end, after.at("captureHealth"));
}

// A take whose folder turns read-only before the stop still stops; the report says why it is
// missing and the start document stays whole.
TEST(RecordingIntegration, AFolderThatRefusesTheFinalReportStillStopsTheTake) {
    TakeTempDir dir;
    Console console;
    ASSERT_TRUE(console.start());
    ASSERT_TRUE(console.startRecording(dir.path()).at("ok").get<bool>());
    const std::string folder = onlyTakeFolder(dir.path());
    const std::string startDocument = readWholeFile(folder + "/capture-health.json");
    EXPECT_EQ(Json::parse(startDocument).at("end"), nullptr);
    console.run(300ms);
    Json stopped;
    {
        const ReadOnlyFolder readOnly(folder); // the stop job's thread starts inside
        stopped = console.job("stopRecording");
    }
    ASSERT_TRUE(stopped.at("ok").get<bool>()) << stopped.dump();
    const Json& recording = stopped.at("result").at("recording");
    EXPECT_EQ(recording.at("state"), "complete");
    EXPECT_EQ(recording.at("captureIssue"), true);
    EXPECT_EQ(recording.at("error"), "Could not save capture-health.json; audio files retained");
    EXPECT_EQ(readWholeFile(folder + "/capture-health.json"), startDocument);
    EXPECT_EQ(readJournal(folder).back().at("event"), "finalized");
}

// A take killed with the program keeps a readable start document and every committed frame.
TEST(RecordingIntegration, ATakeKilledMidwayKeepsItsStartDocumentAndCommittedFrames) {
    TakeTempDir dir;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            Console console;
            if (console.start() && console.startRecording(dir.path()).at("ok").get<bool>()) {
                console.run(60s);
            }
        } catch (...) {
        }
        ::_exit(3);
    }
    // Kill it 2.5 s after its take folder appears.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    std::string folder;
    while (folder.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
        folder = onlyTakeFolder(dir.path());
    }
    std::this_thread::sleep_for(2500ms);
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the recording child ended by itself";
    ASSERT_FALSE(folder.empty());

    const Json health = Json::parse(readWholeFile(folder + "/capture-health.json"));
    EXPECT_EQ(health.at("format"), "kestravon-live-capture-health-1");
    EXPECT_EQ(health.at("end"), nullptr);
    EXPECT_EQ(health.at("start"), nullptr);
    EXPECT_EQ(health.at("prepared").at("tracks"), Json({"mic", "pair"}));
    const Json manifest = Json::parse(readWholeFile(folder + "/take.json"));
    expectCommitsMatchTheFiles(folder, manifest);
    for (const Json& line : readJournal(folder)) {
        EXPECT_NE(line.at("event"), "finalized");
    }
}

// A capture endpoint dies mid-take: the next snapshot stops the audio and the take itself.
TEST(RecordingIntegration, ASourceThatDiesEndsTheTakeAndReportsTheLoss) {
    TakeTempDir dir;
    Console console;
    ASSERT_TRUE(console.start(true));
    ASSERT_TRUE(console.startRecording(dir.path(), {"mic", "spare"}).at("ok").get<bool>());
    const std::string folder = onlyTakeFolder(dir.path());
    console.run(300ms);
    console.spare->remove();
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    BackendStatus status = console.app->impl().backend.status();
    while (status.running && status.error.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        status = console.app->impl().backend.status();
    }
    ASSERT_TRUE(!status.running || !status.error.empty());

    const Json snapshot = console.app->buildControlState();
    EXPECT_EQ(snapshot.at("audio").at("running"), false);
    EXPECT_EQ(snapshot.at("controlJob").at("busy"), true);
    EXPECT_EQ(snapshot.at("controlJob").at("method"), "stopRecording");
    EXPECT_EQ(snapshot.at("recording").at("state"), "finalizing");
    EXPECT_FALSE(console.request("startAudio", Console::audioParams(false)).at("ok").get<bool>());
    const Json stopped = console.awaitJob();
    EXPECT_EQ(stopped.at("id"), 0); // the snapshot's own request
    ASSERT_TRUE(stopped.at("ok").get<bool>()) << stopped.dump();
    const Json& end = console.app->impl().captureHealth;
    EXPECT_EQ(end.at("sourceLost"), true);
    EXPECT_EQ(end.at("captureIssue"), true);
    EXPECT_FALSE(end.at("error").get<std::string>().empty());
    EXPECT_EQ(Json::parse(readWholeFile(folder + "/capture-health.json")).at("end"), end);
    EXPECT_EQ(readJournal(folder).back().at("event"), "finalized");
}

// When the clock master dies the device stops while the take still records: audio may not start
// again into that take until the snapshot's stop has finished it.
TEST(RecordingIntegration, AudioRestartsOnlyOnceTheInterruptedTakeIsFinished) {
    TakeTempDir dir;
    Console console;
    ASSERT_TRUE(console.start());
    ASSERT_TRUE(console.startRecording(dir.path()).at("ok").get<bool>());
    console.run(300ms);
    console.app->impl().backend.stop(); // as the master's failure leaves it; no job yet
    EXPECT_EQ(console.request("startAudio", Console::audioParams(false)).at("error"),
              "Finish the interrupted recording before restarting audio");

    EXPECT_EQ(console.app->buildControlState().at("controlJob").at("method"), "stopRecording");
    ASSERT_TRUE(console.awaitJob().at("ok").get<bool>());
    const Json& end = console.app->impl().captureHealth;
    EXPECT_EQ(end.at("sourceLost"), true);
    EXPECT_EQ(end.at("error"), "Audio source stopped unexpectedly during recording");
    const Json restarted = console.request("startAudio", Console::audioParams(false));
    EXPECT_TRUE(restarted.at("ok").get<bool>()) << restarted.dump();
}

TEST(RecordingIntegration, ShutDownFinishesAnOpenTakeOrWaitsForItsStop) {
    for (const bool stopFirst : {false, true}) {
        SCOPED_TRACE(stopFirst ? "during a stop job" : "while recording");
        TakeTempDir dir;
        std::string folder;
        {
            Console console;
            ASSERT_TRUE(console.start());
            ASSERT_TRUE(console.startRecording(dir.path()).at("ok").get<bool>());
            folder = onlyTakeFolder(dir.path());
            console.run(300ms);
            if (stopFirst) {
                const auto pending = console.app->beginAsyncRequest(
                    {{"id", 9}, {"method", "stopRecording"}, {"params", Json::object()}});
                ASSERT_TRUE(pending && pending->at("ok").get<bool>());
            }
        }
        const Json health = Json::parse(readWholeFile(folder + "/capture-health.json"));
        EXPECT_TRUE(health.at("end").is_object()) << health.dump();
        EXPECT_EQ(health.at("tap"), "after-device-SRC-before-trim-effects-faders");
        const auto journal = readJournal(folder);
        ASSERT_FALSE(journal.empty());
        EXPECT_EQ(journal.back().at("event"), "finalized");
        EXPECT_EQ(journal.back().at("complete"), true);
    }
}

} // namespace
} // namespace kestravon::ruvi
