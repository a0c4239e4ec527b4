// Background jobs through beginAsyncRequest and pollAsyncJob, on a headless console with real
// plug-ins and sox-written WAV files: what the gate lets through while a job runs, a load's
// phases, cancel, the revision check at completion, job ids, remote refusals and the stop.

#include "app_test_support.h"
#include "job_test_support.h"
#include "session_test_files.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using testing::awaitJob;
using testing::beginJob;
using testing::bodyFinished;
using testing::HeadlessConsole;
using testing::jobRequest;
using testing::pendingReply;
using testing::runJob;
using testing::TempFolder;

constexpr const char* kGateText =
    "A file operation is completing; wait before changing this configuration";
constexpr const char* kBusyText = "A file operation is still completing; please wait";
constexpr const char* kCancelText = "File operation cancelled";
constexpr const char* kChangedText =
    "Session changed during file loading; previous playback retained";
constexpr const char* kLocalOnlyText = "File and audio configuration is local-only";

// A mono strip "in1" from the tone input through insert "fx", a stereo strip "file1" playing the
// loaded file `filePath` (none when empty), both into main-lr on the output.
Json consoleNative(const std::string& fxModule, const std::string& filePath = {}) {
    Json nodes = Json::array();
    nodes.push_back(
        {{"id", "in1"},
         {"kind", "input"},
         {"width", 1},
         {"source",
          {{"kind", "device"},
           {"ports", Json::array({{{"deviceId", testing::kToneInputId}, {"channel", 0}}})}}},
         {"inserts", Json::array({testing::insertEntry("fx", fxModule)})},
         {"routes", Json::array({{{"destinationId", "main-lr"}}})}});
    if (!filePath.empty()) {
        nodes.push_back({{"id", "file1"},
                         {"kind", "input"},
                         {"width", 2},
                         {"source", {{"kind", "file"}, {"fileId", filePath}, {"channels", {0, 1}}}},
                         {"routes", Json::array({{{"destinationId", "main-lr"}}})}});
    }
    nodes.push_back(testing::mainBus());
    return testing::nativeDescription(std::move(nodes));
}

Json consoleUi() {
    return Json::parse(R"({
        "schemaVersion": 2,
        "channels": [{"id": "in1", "name": "Vox", "level": 0, "mute": false,
                      "inserts": [{"id": "fx", "parameters": {}}]}],
        "master": {"id": "main-lr", "level": 0},
        "scenes": []})");
}

// What a failed job must leave of the installed playback.
struct BankView {
    Json files;
    std::uint32_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint64_t durationFrames = 0;
    std::uint64_t residentBytes = 0;
    bool operator==(const BankView&) const = default;
};

class AsyncJobs : public ::testing::Test {
protected:
    Application& app() { return *console.app; }
    Application::Impl& impl() { return console.app->impl(); }

    std::string wav(const std::string& name, int rate, int channels, double seconds,
                    int bits = 16) {
        const std::string path = folder.file(name);
        EXPECT_TRUE(testing::writeSoxWav(path, rate, channels, seconds, bits)) << path;
        return path;
    }

    // Loads `path` through the job and applies the console session that plays it.
    void holdLoadedSession(const std::string& path, const std::string& fxModule) {
        const Json loaded = runJob(app(), jobRequest("loadPlayback", {{"paths", {path}}}));
        ASSERT_TRUE(loaded.value("ok", false)) << loaded.dump();
        ASSERT_FALSE(console.applySession(consoleNative(fxModule, path), consoleUi()).is_null());
    }

    BankView bank() {
        const PlaybackStatus status = impl().playback->status();
        return {impl().playbackFiles, impl().playbackChannels, status.sampleRate,
                status.durationFrames, status.residentAudioBytes};
    }

    // The first writable parameter of insert "fx" on in1.
    std::uint32_t writableParameter() {
        const Json list = console.call("getVstParameters", {{"nodeId", "in1"}, {"slotId", "fx"}});
        for (const Json& parameter : list.at("parameters")) {
            if (!parameter.at("readOnly").get<bool>() &&
                parameter.at("name") != "Current Program") {
                return parameter.at("id").get<std::uint32_t>();
            }
        }
        ADD_FAILURE() << "no writable parameter: " << list.dump();
        return 0;
    }

    // Sets the first writable parameter of "fx" on in1 to `value` while audio runs and lets the
    // processor take it into its state over the blocks that follow, the snapshot ticking
    // meanwhile. The parameter's id.
    std::uint32_t moveParameterWhilePlaying(double value) {
        const std::uint32_t parameter = writableParameter();
        EXPECT_FALSE(console
                         .call("setVstParameter", {{"nodeId", "in1"},
                                                   {"slotId", "fx"},
                                                   {"parameterId", parameter},
                                                   {"value", value}})
                         .is_null());
        const std::uint64_t played = console.output->framesReleased();
        EXPECT_TRUE(testing::eventually(
            [&] {
                (void)app().buildControlState();
                return console.output->framesReleased() > played + 9600;
            },
            60.0)); // a ceiling for audio that stopped; a busy machine only delays it
        return parameter;
    }

    TempFolder folder;
    HeadlessConsole console;
};

// Every method of the native table, and the job methods, while a file job and while a stop job
// is current. "" means the request succeeds; any other text is the exact refusal.
TEST_F(AsyncJobs, WhileAJobIsCurrentTheGateLetsThroughOnlyWhatCannotDisturbIt) {
    const std::string file = wav("lane.wav", 48000, 2, 1);
    holdLoadedSession(file, testing::zamPlugin("ZamComp"));
    const std::uint32_t parameter = writableParameter();

    struct Row {
        const char* method;
        Json params;
        const char* duringLoad;
        const char* duringStop;
    };
    const Json sameUi = consoleUi();
    const std::vector<Row> rows = {
        // Reads pass whatever the job.
        {"capabilities", Json::object(), "", ""},
        {"status", Json::object(), "", ""},
        {"getControlState", Json::object(), "", ""},
        {"getVstParameters", {{"nodeId", "in1"}, {"slotId", "fx"}}, "", ""},
        // Live controls pass while a stop job runs, never during a load.
        {"setParameter", {{"nodeId", "in1"}, {"key", "pan"}, {"value", 10}}, kGateText, ""},
        {"setVstParameter",
         {{"nodeId", "in1"}, {"slotId", "fx"}, {"parameterId", parameter}, {"value", 0.25}},
         kGateText,
         ""},
        {"setInsertBypass", {{"nodeId", "in1"}, {"slotId", "fx"}, {"bypass", true}}, kGateText, ""},
        {"setSendLevel",
         {{"nodeId", "in1"}, {"destinationId", "main-lr"}, {"gainDb", -3}},
         kGateText,
         ""},
        {"setStripProcessing",
         {{"nodeId", "in1"}, {"processing", {{"hpf", {{"enabled", true}}}}}},
         kGateText,
         ""},
        {"uiPatch",
         {{"uiPatch", {{"entityId", "in1"}, {"key", "name"}, {"value", "Lead"}}}},
         kGateText,
         ""},
        {"playPlayback", Json::object(), kGateText, ""},
        {"seekPlayback", {{"frame", 4800}}, kGateText, ""},
        {"setPlaybackLoop", {{"enabled", false}}, kGateText, ""},
        {"stopPlayback", Json::object(), kGateText, ""},
        // Everything else waits for the job, unknown names included.
        {"devices", Json::object(), kGateText, kGateText},
        {"plugins", Json::object(), kGateText, kGateText},
        {"applySession",
         {{"native", consoleNative(testing::zamPlugin("ZamComp"), file)}},
         kGateText,
         kGateText},
        {"unloadPlayback", Json::object(), kGateText, kGateText},
        {"startAudio", console.startParams(), kGateText, kGateText},
        {"saveSession", {{"path", folder.file("gate.kestavel")}}, kGateText, kGateText},
        {"captureScene", {{"sceneId", "scene-01"}, {"name", "A"}}, kGateText, kGateText},
        {"recallScene", {{"sceneId", "scene-01"}}, kGateText, kGateText},
        {"Status", Json::object(), kGateText, kGateText},
    };
    const auto checkRows = [&](bool duringLoad) {
        for (const Row& row : rows) {
            SCOPED_TRACE(row.method);
            const std::string expected = duringLoad ? row.duringLoad : row.duringStop;
            const Json reply = console.request(row.method, row.params, 5);
            EXPECT_EQ(reply.at("id"), 5);
            if (expected.empty()) {
                EXPECT_TRUE(reply.at("ok").get<bool>()) << reply.dump();
            } else {
                EXPECT_FALSE(reply.at("ok").get<bool>());
                EXPECT_EQ(reply.value("error", std::string()), expected);
                EXPECT_FALSE(reply.contains("result"));
            }
        }
    };
    // A second job method is refused and the current job goes on; stopAudio stops at once only
    // during a stop job (its own test).
    const auto checkJobMethods = [&](std::int64_t jobId, bool alsoStopAudio) {
        std::vector<std::pair<const char*, Json>> methods = {
            {"loadPlayback", {{"paths", {file}}}},
            {"loadSession", {{"path", folder.file("none.kestavel")}}},
            {"startRecording", {{"nodeIds", {"in1"}}, {"directory", folder.path().string()}}},
            {"stopRecording", Json::object()},
        };
        if (alsoStopAudio) {
            methods.emplace_back("stopAudio", Json::object());
        }
        for (const auto& [method, params] : methods) {
            SCOPED_TRACE(method);
            EXPECT_EQ(beginJob(app(), jobRequest(method, params, 6)),
                      Json({{"id", 6}, {"ok", false}, {"error", kBusyText}}));
            ASSERT_TRUE(impl().job);
            EXPECT_EQ(impl().job->id, jobId);
        }
    };

    {
        SCOPED_TRACE("during a load");
        const BankView before = bank();
        const std::int64_t revision = impl().revision;
        const Json started = beginJob(app(), jobRequest("loadPlayback", {{"paths", {file}}}, 4));
        ASSERT_TRUE(pendingReply(started)) << started.dump();
        checkRows(true);
        checkJobMethods(started.at("result").at("jobId").get<std::int64_t>(), true);
        EXPECT_EQ(impl().revision, revision) << "a refused request changed the session";
        app().cancelAsyncJob();
        EXPECT_EQ(awaitJob(app()).at("error"), kCancelText);
        EXPECT_EQ(bank(), before);
    }
    {
        SCOPED_TRACE("during a stop job");
        ASSERT_FALSE(console.call("startAudio", console.startParams()).is_null());
        const Json started = beginJob(app(), jobRequest("stopRecording", Json::object(), 4));
        ASSERT_TRUE(pendingReply(started)) << started.dump();
        checkRows(false);
        checkJobMethods(started.at("result").at("jobId").get<std::int64_t>(), false);
        const Json done = awaitJob(app());
        EXPECT_TRUE(done.at("ok").get<bool>()) << done.dump();
        EXPECT_TRUE(console.call("status").at("audio").at("running").get<bool>())
            << "stopRecording keeps the audio running";
        // The live edits made during the stop job are in the documents.
        EXPECT_EQ(impl().uiSession.at("/channels/0/name"_json_pointer), "Lead");
        EXPECT_EQ(impl().nativeSession.at("/nodes/0/inserts/0/bypass"_json_pointer), true);
    }
}

// Two 44.1 kHz files into a 48 kHz session: the pending reply comes at once, the snapshot's
// "controlJob" walks through decoding, resampling and preparing with progress rising inside each
// phase, and the final reply carries the catalogue of the converted lanes.
TEST_F(AsyncJobs, ALoadOf44kFilesIntoA48kSessionReportsItsPhasesBehindAPendingReply) {
    // The loader takes the files in name order: the long one first.
    const std::string stereo = wav("a-stereo.wav", 44100, 2, 60, 24);
    const std::string mono = wav("b-mono.wav", 44100, 1, 20);
    ASSERT_FALSE(console.applySession(testing::toneToMainSession()).is_null());
    const std::int64_t revision = impl().revision;

    const Json pending =
        beginJob(app(), jobRequest("loadPlayback", {{"paths", {stereo, mono}}}, 41));
    EXPECT_EQ(pending, Json::parse(R"({"id": 41, "ok": true,
        "result": {"jobId": 1, "method": "loadPlayback", "pending": true}})"));

    struct Sample {
        std::string phase;
        double progress;
    };
    std::vector<Sample> samples;
    while (!bodyFinished(app())) {
        const Json job = app().buildControlState().at("controlJob");
        ASSERT_EQ(job.at("busy"), true);
        ASSERT_EQ(job.at("jobId"), 1);
        ASSERT_EQ(job.at("method"), "loadPlayback");
        const Sample sample{job.at("phase").get<std::string>(),
                            job.at("phaseProgress").get<double>()};
        if (samples.empty() || samples.back().phase != sample.phase ||
            samples.back().progress != sample.progress) {
            samples.push_back(sample);
        }
    }
    // The body is done but not collected: the job still shows, now preparing.
    const Json finished = app().buildControlState().at("controlJob");
    EXPECT_EQ(finished.at("busy"), true);
    EXPECT_EQ(finished.at("phase"), "preparing");
    samples.push_back({"preparing", finished.at("phaseProgress").get<double>()});

    // Runs of one phase with rising progress. Each file is decoded, then resampled, so a phase
    // starts afresh at most once per file; the short decoding of the second file may fall
    // between two samples, and a drop in progress then starts the next file's run.
    std::string order;
    std::map<std::string, int> runs;
    std::size_t rising = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const Sample& s = samples[i];
        EXPECT_GE(s.progress, 0.0);
        EXPECT_LE(s.progress, 1.0);
        if (i == 0 || samples[i - 1].phase != s.phase || s.progress < samples[i - 1].progress) {
            order += (order.empty() ? "" : " ") + s.phase;
            ++runs[s.phase];
        } else {
            rising += s.progress > samples[i - 1].progress ? 1 : 0;
        }
    }
    const auto at = [&](const char* word) { return order.find(word); };
    ASSERT_NE(at("decoding"), std::string::npos) << order;
    ASSERT_NE(at("resampling"), std::string::npos) << order;
    EXPECT_LT(at("decoding"), at("resampling")) << order;
    EXPECT_TRUE(order.ends_with("preparing")) << order;
    for (const char* phase : {"decoding", "resampling"}) {
        EXPECT_LE(runs[phase], 2) << phase << " went backwards within a file: " << order;
    }
    EXPECT_GT(rising, 2u) << "progress never moved: " << order;

    const Json reply = awaitJob(app());
    ASSERT_TRUE(reply.at("ok").get<bool>()) << reply.dump();
    EXPECT_EQ(reply.at("id"), 41);
    const Json& result = reply.at("result");
    EXPECT_EQ(result.at("revision"), revision + 1);
    EXPECT_EQ(result.at("/status/controlJob"_json_pointer), Json::parse(R"({"busy": false,
        "error": "", "jobId": 1, "method": "loadPlayback", "ok": true, "phase": "complete"})"));
    const Json& files = result.at("files");
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].at("path"), stereo);
    EXPECT_EQ(files[0].at("firstLane"), 0);
    EXPECT_EQ(files[0].at("channels"), 2);
    EXPECT_EQ(files[0].at("sampleRate"), 44100);
    EXPECT_EQ(files[0].at("originalFrames"), 44100 * 60);
    EXPECT_EQ(files[1].at("path"), mono);
    EXPECT_EQ(files[1].at("firstLane"), 2);
    EXPECT_EQ(result.at("/status/playback/files"_json_pointer), files);

    const PlaybackStatus status = impl().playback->status();
    EXPECT_EQ(status.sampleRate, 48000u);
    EXPECT_EQ(status.loadedChannels, 3u);
    EXPECT_EQ(status.durationFrames, 48000u * 60);
    // The old graph did not route these lanes: audio and saving wait for a session that does.
    EXPECT_FALSE(impl().graph.hasGraph());
    EXPECT_EQ(console.refusal("saveSession", {{"path", folder.file("early.kestavel")}}),
              "Apply the file routing after loading or unloading WAV files");
}

// A cancel at the start or in the middle of a load fails the job with the cancel text; the bank
// installed before keeps its files, and plays when audio starts again.
TEST_F(AsyncJobs, ACancelledLoadLeavesTheInstalledBankToPlay) {
    const std::string first = wav("first.wav", 48000, 2, 3);
    holdLoadedSession(first, testing::zamPlugin("ZamComp"));
    const BankView before = bank();
    const std::int64_t revision = impl().revision;
    const std::string big = wav("big.wav", 44100, 2, 60, 24);

    for (const char* moment : {"at once", "while resampling"}) {
        SCOPED_TRACE(moment);
        const Json started = beginJob(app(), jobRequest("loadPlayback", {{"paths", {big}}}, 12));
        ASSERT_TRUE(pendingReply(started)) << started.dump();
        if (std::string(moment) != "at once") {
            while (!bodyFinished(app()) &&
                   app().buildControlState().at("/controlJob/phase"_json_pointer) != "resampling") {
            }
            EXPECT_FALSE(bodyFinished(app())) << "the load ended before it was cancelled";
        }
        app().cancelAsyncJob();
        const Json reply = awaitJob(app());
        EXPECT_EQ(reply, Json({{"id", 12}, {"ok", false}, {"error", kCancelText}}));
        const Json event = app().buildControlState().at("controlJob");
        EXPECT_EQ(event.at("phase"), "failed");
        EXPECT_EQ(event.at("error"), kCancelText);
        EXPECT_EQ(bank(), before);
        EXPECT_EQ(impl().revision, revision);
        EXPECT_TRUE(impl().graph.hasGraph());
    }

    ASSERT_FALSE(console.call("startAudio", console.startParams()).is_null());
    ASSERT_FALSE(console.call("playPlayback").is_null());
    ASSERT_TRUE(console.waitForRecording());
    // The file's half-scale sine over the tone's 0.1.
    EXPECT_GT(testing::peakOf(console.recordedChannel(0)), 0.4f);
}

// An edit made in a plug-in's editor while files load moves the revision when it is folded in;
// the load then fails at completion and the installed bank and graph stay.
TEST_F(AsyncJobs, ASessionEditDuringALoadFailsItAtCompletionAndKeepsThePlayback) {
    const std::string first = wav("first.wav", 48000, 2, 1);
    holdLoadedSession(first, testing::testPluginBundle("basic"));
    const BankView before = bank();
    const std::int64_t revision = impl().revision;
    const std::string big = wav("big.wav", 44100, 2, 20);

    const Json started = beginJob(app(), jobRequest("loadPlayback", {{"paths", {big}}}, 13));
    ASSERT_TRUE(pendingReply(started)) << started.dump();
    using EditFn = void (*)(std::uint32_t, int, double, int);
    const auto edit = testing::testPluginSymbol<EditFn>("basic", "ruviTestplugEdit");
    ASSERT_NE(edit, nullptr);
    edit(0, 1, 0.75, 0);
    // A read passes the gate and folds the edit into the documents.
    const Json state = console.call("getControlState");
    EXPECT_EQ(state.at("revision"), revision + 1);
    EXPECT_EQ(impl().nativeSession.at("/nodes/0/inserts/0/parameters/0"_json_pointer), 0.75);

    const Json reply = awaitJob(app());
    EXPECT_EQ(reply, Json({{"id", 13}, {"ok", false}, {"error", kChangedText}}));
    EXPECT_EQ(bank(), before);
    EXPECT_TRUE(impl().graph.hasGraph());
    EXPECT_TRUE(impl().playbackRoutingApplied);
    EXPECT_EQ(impl().revision, revision + 1) << "only the edit moved the revision";
}

// Job ids count created jobs, whatever the request ids: a refusal before the job exists takes
// none, one after it was created (its own checks) has used its id. Every final reply carries the
// id of the request that started the job.
TEST_F(AsyncJobs, JobIdsCountCreatedJobsAndRepliesCarryTheRequestId) {
    const std::string file = wav("lane.wav", 48000, 1, 1);
    ASSERT_FALSE(console.applySession(testing::toneToMainSession()).is_null());
    Json tooMany = Json::array();
    for (int k = 0; k < 129; ++k) {
        tooMany.push_back(file);
    }
    struct Step {
        Json request;
        std::int64_t jobId; // the pending reply's, 0 for a refusal
        const char* error;  // the refusal's text
    };
    const char* choose = "Choose between 1 and 128 local WAV files";
    const std::vector<Step> steps = {
        {jobRequest("loadPlayback", {{"paths", {file}}}, 500), 1, ""},
        {jobRequest("loadPlayback", {{"paths", {file}}}, 7, true), 0, kLocalOnlyText},
        {jobRequest("loadPlayback", {{"paths", Json::array()}}, 8), 0, choose},
        {jobRequest("loadPlayback", {{"paths", tooMany}}, 9), 0, choose},
        {jobRequest("loadPlayback", Json::object(), 10), 0, choose},
        {jobRequest("loadSession", {{"path", "relative.kestavel"}}, 11), 0,
         "Choose an absolute local path"},
        {{{"method", "stopRecording"}}, 6, ""},
        {jobRequest("startRecording", {{"nodeIds", {"in1"}}}, 12), 0,
         "Start the applied audio session before recording"},
        {jobRequest("stopAudio", Json::object(), -3), 8, ""},
        {jobRequest("loadPlayback", {{"paths", {file}}}, 2147483647), 9, ""},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.request.dump());
        const Json reply = beginJob(app(), step.request);
        const Json id = step.request.value("id", 0);
        if (step.jobId == 0) {
            EXPECT_EQ(reply, Json({{"id", id}, {"ok", false}, {"error", step.error}}));
            EXPECT_FALSE(app().jobRunning());
            continue;
        }
        EXPECT_EQ(reply, Json({{"id", id},
                               {"ok", true},
                               {"result",
                                {{"jobId", step.jobId},
                                 {"method", step.request.at("method")},
                                 {"pending", true}}}}));
        EXPECT_EQ(app().buildControlState().at("/controlJob/jobId"_json_pointer), step.jobId);
        const Json done = awaitJob(app());
        EXPECT_EQ(done.at("id"), id);
        EXPECT_TRUE(done.at("ok").get<bool>()) << done.dump();
        EXPECT_EQ(app().buildControlState().at("/controlJob/jobId"_json_pointer), step.jobId);
    }
    // With audio running a file job is refused before it is created.
    ASSERT_FALSE(console.applySession(testing::toneToMainSession()).is_null());
    ASSERT_FALSE(console.call("startAudio", console.startParams()).is_null());
    EXPECT_EQ(beginJob(app(), jobRequest("loadSession", {{"path", folder.file("x.kestavel")}}, 3)),
              Json({{"id", 3},
                    {"ok", false},
                    {"error", "Stop audio and recording before loading files"}}));
    EXPECT_EQ(beginJob(app(), jobRequest("stopAudio", Json::object(), 4))
                  .at("/result/jobId"_json_pointer),
              10);
    EXPECT_EQ(awaitJob(app()).at("id"), 4);
}

// Remote clients may start and stop takes, nothing else of the job methods; the refusals leave
// the running audio alone.
TEST_F(AsyncJobs, RemoteJobRequestsAreRefusedExceptForTakes) {
    const std::string file = wav("lane.wav", 48000, 1, 1);
    // The stage computer chose the take folder and armed the strip.
    Json ui = consoleUi();
    ui["recorder"] = {{"directory", folder.path().string()}};
    ui["channels"][0]["arm"] = true;
    ASSERT_FALSE(console.applySession(consoleNative(testing::zamPlugin("ZamComp")), ui).is_null());
    ASSERT_FALSE(console.call("startAudio", console.startParams()).is_null());
    const auto remoteInParams = [](const char* method, Json params) {
        params["_remote"] = true;
        return jobRequest(method, params, 20);
    };
    const auto audioRunning = [&] {
        return console.call("status").at("audio").at("running").get<bool>();
    };

    const std::vector<std::pair<Json, const char*>> refused = {
        {jobRequest("loadPlayback", {{"paths", {file}}}, 20, true), kLocalOnlyText},
        {remoteInParams("loadPlayback", {{"paths", {file}}}), kLocalOnlyText},
        {jobRequest("loadSession", {{"path", folder.file("x.kestavel")}}, 20, true),
         kLocalOnlyText},
        {jobRequest("stopAudio", Json::object(), 20, true), kLocalOnlyText},
        {remoteInParams("stopAudio", Json::object()), kLocalOnlyText},
    };
    for (const auto& [request, error] : refused) {
        SCOPED_TRACE(request.dump());
        EXPECT_EQ(beginJob(app(), request), Json({{"id", 20}, {"ok", false}, {"error", error}}));
        EXPECT_FALSE(app().jobRunning());
        EXPECT_TRUE(audioRunning());
    }

    // A take passes the gate and meets the take's own remote rules: another folder is refused
    // (having used job id 1), the shared one records.
    const Json elsewhere =
        beginJob(app(), jobRequest("startRecording",
                                   {{"nodeIds", {"in1"}}, {"directory", folder.file("elsewhere")}},
                                   21, true));
    EXPECT_EQ(elsewhere.value("error", std::string()),
              "Set the recording folder on the local computer first");
    const Json take = runJob(
        app(), jobRequest("startRecording",
                          {{"nodeIds", {"in1"}}, {"directory", folder.path().string()}}, 22, true));
    ASSERT_TRUE(take.value("ok", false)) << take.dump();
    EXPECT_EQ(take.at("id"), 22);

    // A remote stop of the take starts its job; during it a remote stopAudio is still refused.
    const Json stop = beginJob(app(), jobRequest("stopRecording", Json::object(), 23, true));
    ASSERT_TRUE(pendingReply(stop)) << stop.dump();
    EXPECT_EQ(stop.at("/result/jobId"_json_pointer), 3);
    for (const Json& request :
         {jobRequest("stopAudio", Json::object(), 24, true), remoteInParams("stopAudio", {})}) {
        SCOPED_TRACE(request.dump());
        EXPECT_EQ(beginJob(app(), request), Json({{"id", request.at("id")},
                                                  {"ok", false},
                                                  {"error", "Audio configuration is local-only"}}));
        EXPECT_TRUE(audioRunning());
    }
    const Json done = awaitJob(app());
    EXPECT_EQ(done.at("id"), 23);
    EXPECT_TRUE(done.at("ok").get<bool>()) << done.dump();
}

// "stopAudio" stops the device before its pending reply, with every plug-in's state captured; a
// second one during that stop job, or during a take's stop, answers the control state at once
// and takes no job id.
TEST_F(AsyncJobs, StopAudioStopsAtOnceAsItsOwnJobAndDuringAStopJob) {
    const Json native = consoleNative(testing::zamPlugin("ZamComp"));
    ASSERT_FALSE(console.applySession(native, consoleUi()).is_null());
    ASSERT_FALSE(console.call("startAudio", console.startParams()).is_null());
    // A parameter moved since the session was applied: the held state blob is stale.
    (void)moveParameterWhilePlaying(0.9);
    const auto heldState = [&] {
        return impl().nativeSession.at("/nodes/0/inserts/0"_json_pointer).value("stateHex", "");
    };
    const std::string stale = heldState();

    const Json pending = beginJob(app(), jobRequest("stopAudio", Json::object(), 31));
    EXPECT_EQ(pending.at("/result/jobId"_json_pointer), 1);
    EXPECT_FALSE(impl().backend.status().running) << "the device stops before the reply";
    EXPECT_FALSE(impl().graph.hasGraph());
    EXPECT_FALSE(heldState().empty());
    EXPECT_NE(heldState(), stale) << "the plug-in's state was not captured before the graph went";

    const Json immediate = beginJob(app(), jobRequest("stopAudio", Json::object(), 32));
    ASSERT_TRUE(immediate.at("ok").get<bool>()) << immediate.dump();
    EXPECT_EQ(immediate.at("id"), 32);
    EXPECT_EQ(immediate.at("/result/controlJob/busy"_json_pointer), true);
    EXPECT_EQ(immediate.at("/result/controlJob/jobId"_json_pointer), 1);
    EXPECT_EQ(immediate.at("/result/audio/running"_json_pointer), false);
    const Json done = awaitJob(app());
    EXPECT_EQ(done.at("id"), 31);
    EXPECT_TRUE(done.at("ok").get<bool>()) << done.dump();
    EXPECT_EQ(done.at("/result/controlJob/phase"_json_pointer), "complete");

    // During a take's stop job the audio keeps running until a stopAudio comes.
    ASSERT_FALSE(console.applySession(native, consoleUi()).is_null());
    ASSERT_FALSE(console.call("startAudio", console.startParams()).is_null());
    const Json stopTake = beginJob(app(), jobRequest("stopRecording", Json::object(), 33));
    EXPECT_EQ(stopTake.at("/result/jobId"_json_pointer), 2);
    EXPECT_TRUE(impl().backend.status().running);
    const Json now = beginJob(app(), jobRequest("stopAudio", Json::object(), 34));
    ASSERT_TRUE(now.at("ok").get<bool>()) << now.dump();
    EXPECT_EQ(now.at("/result/controlJob/jobId"_json_pointer), 2);
    EXPECT_FALSE(impl().backend.status().running);
    EXPECT_FALSE(impl().graph.hasGraph());
    EXPECT_EQ(awaitJob(app()).at("id"), 33);
    EXPECT_EQ(beginJob(app(), jobRequest("stopAudio", Json::object(), 35))
                  .at("/result/jobId"_json_pointer),
              3);
    EXPECT_TRUE(awaitJob(app()).at("ok").get<bool>());
}

// The immediate stop during a take's stop job: one insert whose state cannot be read costs the
// others nothing; the stop captures every state it can, clears the graph, names the insert that
// failed, and the take's stop goes on.
TEST_F(AsyncJobs, AnImmediateStopThatCannotCaptureOneInsertKeepsTheOthersAndNamesIt) {
    Json native = consoleNative(testing::zamPlugin("ZamComp"));
    native["nodes"][0]["inserts"].push_back(
        testing::insertEntry("bad", testing::testPluginBundle("basic")));
    ASSERT_FALSE(console.applySession(native, consoleUi()).is_null());
    ASSERT_FALSE(console.call("startAudio", console.startParams()).is_null());
    // The stop unloads the plug-in with the graph; this handle keeps its switch reachable.
    const std::string module =
        testing::testPluginBundle("basic") + "/Contents/x86_64-linux/ruvi_testplug_basic.so";
    void* held = ::dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(held, nullptr);
    using ModeFn = void (*)(int);
    const auto setStateMode =
        reinterpret_cast<ModeFn>(::dlsym(held, "ruviTestplugSetComponentStateMode"));
    ASSERT_NE(setStateMode, nullptr);
    (void)moveParameterWhilePlaying(1.0);
    const std::string stale = impl().nativeSession.at("/nodes/0/inserts/0/stateHex"_json_pointer);
    ASSERT_TRUE(pendingReply(beginJob(app(), jobRequest("stopRecording", Json::object(), 61))));

    setStateMode(2); // the insert's state grows past what a session may hold
    const Json reply = beginJob(app(), jobRequest("stopAudio", Json::object(), 62));
    setStateMode(0);
    ::dlclose(held);
    EXPECT_EQ(reply.at("id"), 62);
    EXPECT_FALSE(reply.at("ok").get<bool>());
    EXPECT_TRUE(reply.value("error", std::string()).starts_with("VST3 insert bad: "))
        << reply.dump();
    EXPECT_FALSE(impl().backend.status().running);
    EXPECT_FALSE(impl().graph.hasGraph());
    const Json& inserts = impl().nativeSession.at("/nodes/0/inserts"_json_pointer);
    EXPECT_NE(inserts[0].value("stateHex", ""), stale) << "the compressor's state was lost";
    ASSERT_TRUE(app().jobRunning()) << "the take's stop job goes on";
    EXPECT_EQ(awaitJob(app()).at("id"), 61);
}

// A load replaces the graph: the states its plug-ins hold go into the held description first.
TEST_F(AsyncJobs, ALoadCapturesThePluginStatesBeforeTheGraphGoes) {
    const std::string file = wav("lane.wav", 48000, 1, 1);
    ASSERT_FALSE(
        console.applySession(consoleNative(testing::zamPlugin("ZamComp")), consoleUi()).is_null());
    ASSERT_FALSE(console.call("startAudio", console.startParams()).is_null());
    const std::uint32_t parameter = moveParameterWhilePlaying(1.0);
    // The device went away without a stop request, so nothing captured the new state yet.
    impl().backend.stop();
    const std::string stale = impl().nativeSession.at("/nodes/0/inserts/0/stateHex"_json_pointer);

    const Json loaded = runJob(app(), jobRequest("loadPlayback", {{"paths", {file}}}, 70));
    ASSERT_TRUE(loaded.at("ok").get<bool>()) << loaded.dump();
    EXPECT_FALSE(impl().graph.hasGraph());
    const Json& insert = impl().nativeSession.at("/nodes/0/inserts/0"_json_pointer);
    EXPECT_NE(insert.value("stateHex", ""), stale);
    EXPECT_EQ(insert.at("parameters").at(std::to_string(parameter)), 1.0);
}

// Paths the loader cannot read fail the job with the reader's text, a FIFO within a second
// instead of blocking in open(); the next job starts normally.
TEST_F(AsyncJobs, UnreadablePlaybackPathsFailTheJobAndTheNextOneRuns) {
    const std::string good = wav("good.wav", 48000, 1, 1);
    const std::string fifo = folder.file("pipe.wav");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string text = folder.file("notes.wav");
    testing::writeWholeFile(text, "not a wave file at all, only words");
    const std::string inspect = "Cannot open playback WAV for metadata inspection";
    const std::vector<std::pair<Json, std::string>> cases = {
        {{good, fifo}, inspect},
        {{folder.path().string()}, inspect},
        {{folder.file("missing.wav")}, inspect},
        {{text}, "WAV file too short"},
        {{good, good}, "Duplicate playback file"},
        {{"lane.wav"}, "Choose an absolute local path"},
    };
    const BankView before = bank();
    for (const auto& [paths, error] : cases) {
        SCOPED_TRACE(paths.dump());
        const Json started = beginJob(app(), jobRequest("loadPlayback", {{"paths", paths}}, 50));
        ASSERT_TRUE(pendingReply(started)) << started.dump();
        const Json reply = awaitJob(app(), 1.0);
        if (reply.value("error", std::string()) == "the job did not finish") {
            // Release an open blocked on the FIFO so the test can end.
            const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            ADD_FAILURE() << "the job blocked";
            (void)awaitJob(app());
            if (writer >= 0) {
                ::close(writer);
            }
            continue;
        }
        EXPECT_EQ(reply, Json({{"id", 50}, {"ok", false}, {"error", error}}));
        EXPECT_EQ(bank(), before);
    }
    const Json loaded = runJob(app(), jobRequest("loadPlayback", {{"paths", {good}}}, 51));
    EXPECT_TRUE(loaded.at("ok").get<bool>()) << loaded.dump();
}

} // namespace
} // namespace kestravon::ruvi

namespace kestravon::ruvi {
namespace {

// The UI thread starts, watches, cancels and collects jobs while their bodies run on the pool;
// under the thread checker every shared field must be a clean hand-over.
TEST(AsyncJobsThreading, StartWatchCancelAndCollectInALoop) {
    TempFolder folder;
    HeadlessConsole console;
    Application& app = *console.app;
    Json paths = Json::array();
    for (int k = 0; k < 2; ++k) {
        const std::string path = folder.file("lane" + std::to_string(k) + ".wav");
        ASSERT_TRUE(testing::writeSoxWav(path, 44100, 1 + k, 2));
        paths.push_back(path);
    }
    const std::string session = folder.file("show.kestavel");
    ASSERT_FALSE(console.applySession(testing::toneToMainSession(), consoleUi()).is_null());
    ASSERT_FALSE(console.call("saveSession", {{"path", session}}).is_null());

    std::int64_t expectedId = 1;
    int cancelled = 0;
    int completed = 0;
    for (int round = 0; round < 48; ++round) {
        SCOPED_TRACE(round);
        const bool sessionJob = round % 6 == 5;
        const bool stopJob = round % 6 == 4;
        const Json request = sessionJob ? jobRequest("loadSession", {{"path", session}}, round)
                             : stopJob  ? jobRequest("stopRecording", Json::object(), round)
                                        : jobRequest("loadPlayback", {{"paths", paths}}, round);
        const Json started = beginJob(app, request);
        ASSERT_TRUE(pendingReply(started)) << started.dump();
        ASSERT_EQ(started.at("/result/jobId"_json_pointer), expectedId++);
        // Watch for a while, then cancel at a moment that moves from round to round.
        const int watches = round % 4 == 0 ? 0 : round * 3;
        for (int k = 0; k < watches; ++k) {
            const Json job = app.buildControlState().at("controlJob");
            ASSERT_TRUE(job.at("busy").get<bool>());
            const double progress = job.at("phaseProgress").get<double>();
            ASSERT_GE(progress, 0.0);
            ASSERT_LE(progress, 1.0);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (round % 3 != 2) {
            app.cancelAsyncJob();
            app.cancelAsyncJob();
        }
        const Json reply = awaitJob(app);
        ASSERT_EQ(reply.at("id"), round);
        if (reply.at("ok").get<bool>()) {
            ++completed;
        } else {
            ASSERT_EQ(reply.at("error"), kCancelText) << "round " << round;
            ++cancelled;
        }
        ASSERT_FALSE(app.jobRunning());
        app.cancelAsyncJob(); // no job: nothing to do
    }
    EXPECT_GT(cancelled, 0);
    EXPECT_GT(completed, 0);
}

} // namespace
} // namespace kestravon::ruvi
