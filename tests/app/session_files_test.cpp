// Session files through the console's own requests: a show with real plug-ins, scenes and a
// loaded WAV saved, loaded into a new Application by the loadSession job and saved again; bad
// files refused by the job with the running show untouched; and shut-down during a load.

#include "app/session_file_store.h"

#include "app_test_support.h"
#include "job_test_support.h"
#include "session_test_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using testing::awaitJob;
using testing::beginJob;
using testing::HeadlessConsole;
using testing::jobRequest;
using testing::pendingReply;
using testing::readWholeFile;
using testing::replaceOnce;
using testing::runJob;
using testing::sha256sumOf;
using testing::TempFolder;
using testing::writeWholeFile;

// "vox" (ZamComp "comp") and "keys" (ZamEQ2 "eq"), mono strips of the tone input, "backing"
// playing the loaded file `wavPath`, all into main-lr.
Json showNative(const std::string& wavPath) {
    const auto port = [](int channel) {
        return Json{{"deviceId", testing::kToneInputId}, {"channel", channel}};
    };
    const Json toMain = Json::array({{{"destinationId", "main-lr"}}});
    Json nodes = Json::array({
        {{"id", "vox"},
         {"kind", "input"},
         {"width", 1},
         {"gainDb", -4},
         {"source", {{"kind", "device"}, {"ports", {port(0)}}}},
         {"inserts", {testing::insertEntry("comp", testing::zamPlugin("ZamComp"))}},
         {"routes", toMain}},
        {{"id", "keys"},
         {"kind", "input"},
         {"width", 1},
         {"source", {{"kind", "device"}, {"ports", {port(1)}}}},
         {"inserts", {testing::insertEntry("eq", testing::zamPlugin("ZamEQ2"))}},
         {"routes", toMain}},
        {{"id", "backing"},
         {"kind", "input"},
         {"width", 2},
         {"source", {{"kind", "file"}, {"fileId", wavPath}, {"channels", {0, 1}}}},
         {"routes", toMain}},
        testing::mainBus(),
    });
    return testing::nativeDescription(std::move(nodes));
}

Json showUi() {
    return Json::parse(R"({
        "schemaVersion": 2,
        "title": "Salle \u00e0 manger",
        "channels": [
            {"id": "vox", "name": "Voix", "level": -4, "mute": false,
             "inserts": [{"id": "comp", "parameters": {}}]},
            {"id": "keys", "name": "Keys", "level": 0, "mute": false,
             "inserts": [{"id": "eq", "parameters": {}}]},
            {"id": "backing", "name": "Backing", "level": 0, "mute": false}
        ],
        "master": {"id": "main-lr", "level": 0},
        "scenes": []})");
}

// The first writable parameter of an insert and its current value.
std::pair<std::uint32_t, double>
writableParameter(HeadlessConsole& console, const std::string& nodeId, const std::string& slotId) {
    const Json list = console.call("getVstParameters", {{"nodeId", nodeId}, {"slotId", slotId}});
    for (const Json& parameter : list.at("parameters")) {
        if (!parameter.at("readOnly").get<bool>() && parameter.at("name") != "Current Program") {
            return {parameter.at("id").get<std::uint32_t>(),
                    parameter.at("normalized").get<double>()};
        }
    }
    ADD_FAILURE() << "no writable parameter: " << list.dump();
    return {0, 0.0};
}

double parameterValue(HeadlessConsole& console, const std::string& nodeId,
                      const std::string& slotId, std::uint32_t id) {
    const Json list = console.call("getVstParameters", {{"nodeId", nodeId}, {"slotId", slotId}});
    for (const Json& parameter : list.at("parameters")) {
        if (parameter.at("id") == id) {
            return parameter.at("normalized").get<double>();
        }
    }
    ADD_FAILURE() << "parameter " << id << " missing: " << list.dump();
    return -1.0;
}

// A show on `console`: the WAV loaded through the job, the session applied, two scenes captured
// around an edit of each insert, and a live edit after the last scene.
struct Show {
    std::uint32_t compId = 0;
    std::uint32_t eqId = 0;
    double verseComp = 0.0;
    double chorusEq = 0.0;
    double liveComp = 0.0;
};

Show buildShow(HeadlessConsole& console, const std::string& wavPath) {
    Show show;
    const Json loaded = runJob(*console.app, jobRequest("loadPlayback", {{"paths", {wavPath}}}));
    EXPECT_TRUE(loaded.value("ok", false)) << loaded.dump();
    EXPECT_FALSE(console.applySession(showNative(wavPath), showUi()).is_null());
    double compNow = 0.0;
    double eqNow = 0.0;
    std::tie(show.compId, compNow) = writableParameter(console, "vox", "comp");
    std::tie(show.eqId, eqNow) = writableParameter(console, "keys", "eq");
    // Values inside each range, which these plug-ins keep in their own units and precision: what
    // they report back while playing and after the reload is their rounding of the value.
    show.verseComp = compNow > 0.5 ? 0.3 : 0.7;
    show.chorusEq = eqNow > 0.5 ? 0.35 : 0.65;
    show.liveComp = 1.0 - show.verseComp;
    // Parameters move while the show plays, as they do at the desk: the processor takes each
    // value in the blocks that follow and the snapshot ticks fold what the plug-in keeps (its own
    // rounding of the value) into the documents. Scenes are captured with audio stopped.
    const auto setWhilePlaying = [&](const char* node, const char* slot, std::uint32_t id,
                                     double value) {
        EXPECT_FALSE(console.call("startAudio", console.startParams()).is_null());
        EXPECT_FALSE(
            console
                .call("setVstParameter",
                      {{"nodeId", node}, {"slotId", slot}, {"parameterId", id}, {"value", value}})
                .is_null());
        const std::uint64_t played = console.output->framesReleased();
        EXPECT_TRUE(testing::eventually(
            [&] {
                (void)console.app->buildControlState();
                return console.output->framesReleased() > played + 9600;
            },
            60.0)); // a ceiling for audio that stopped; a busy machine only delays it
        const Json stopped = runJob(*console.app, jobRequest("stopAudio"));
        EXPECT_TRUE(stopped.value("ok", false)) << stopped.dump();
    };
    setWhilePlaying("vox", "comp", show.compId, show.verseComp);
    EXPECT_FALSE(
        console.call("captureScene", {{"sceneId", "scene-01"}, {"name", "Verse"}}).is_null());
    setWhilePlaying("keys", "eq", show.eqId, show.chorusEq);
    EXPECT_FALSE(
        console.call("captureScene", {{"sceneId", "scene-02"}, {"name", "Chorus"}}).is_null());
    setWhilePlaying("vox", "comp", show.compId, show.liveComp);
    return show;
}

TEST(SessionFiles, ASavedShowComesBackInANewApplicationAndSavesToTheSameBytes) {
    TempFolder folder;
    const std::string wavPath = folder.file("backing.wav");
    ASSERT_TRUE(testing::writeSoxWav(wavPath, 44100, 2, 2));
    const std::string first = folder.file("show.kestavel");
    const std::string second = folder.file("again.kestavel");

    Show show;
    Json savedNative;
    Json savedUi;
    Json savedScenes;
    {
        HeadlessConsole console;
        show = buildShow(console, wavPath);
        const Json saved = console.call("saveSession", {{"path", first}});
        ASSERT_FALSE(saved.is_null());
        EXPECT_EQ(saved.at("saved"), true);
        // The held documents are what the file holds, and stay so on the next tick.
        (void)console.app->buildControlState();
        EXPECT_EQ(console.app->impl().revision, saved.at("revision").get<std::int64_t>());
        EXPECT_EQ(loadSessionFile(first), Json({{"native", console.app->impl().nativeSession},
                                                {"uiState", console.app->impl().uiSession},
                                                {"sceneStates", console.app->impl().sceneStates}}));
        const auto& impl = console.app->impl();
        savedNative = impl.nativeSession;
        savedUi = impl.uiSession;
        savedScenes = impl.sceneStates;
    }
    // What was saved holds the live states: the plug-ins' blobs and the scenes.
    for (const char* pointer : {"/nodes/0/inserts/0/stateHex", "/nodes/1/inserts/0/stateHex"}) {
        EXPECT_TRUE(savedNative.at(Json::json_pointer(pointer)).is_string()) << pointer;
    }
    ASSERT_EQ(savedUi.at("scenes").size(), 2u);
    ASSERT_TRUE(savedScenes.contains("scene-01") && savedScenes.contains("scene-02"));

    HeadlessConsole console;
    const Json pending = beginJob(*console.app, jobRequest("loadSession", {{"path", first}}, 77));
    ASSERT_TRUE(pendingReply(pending)) << pending.dump();
    const Json reply = awaitJob(*console.app);
    ASSERT_TRUE(reply.at("ok").get<bool>()) << reply.dump();
    EXPECT_EQ(reply.at("id"), 77);
    EXPECT_EQ(reply.at("/result/loaded"_json_pointer), true);
    EXPECT_EQ(reply.at("/result/revision"_json_pointer), 1);
    EXPECT_EQ(reply.at("/result/uiState"_json_pointer), savedUi);
    EXPECT_EQ(reply.at("/result/status/controlJob/phase"_json_pointer), "complete");
    const auto& impl = console.app->impl();
    EXPECT_EQ(impl.nativeSession, savedNative) << "the description, states and catalogue";
    EXPECT_EQ(impl.uiSession, savedUi);
    EXPECT_EQ(impl.sceneStates, savedScenes);
    EXPECT_EQ(impl.playback->status().sampleRate, 48000u);
    EXPECT_EQ(impl.playback->status().durationFrames, 96000u) << "the file was loaded again";
    // The plug-ins themselves hold the saved values.
    EXPECT_NEAR(parameterValue(console, "vox", "comp", show.compId), show.liveComp, 1e-6);
    EXPECT_NEAR(parameterValue(console, "keys", "eq", show.eqId), show.chorusEq, 1e-6);

    // The plug-ins' read-back of the restored values changes nothing, and a fresh capture of the
    // loaded plug-ins writes the same file.
    (void)console.app->buildControlState();
    EXPECT_EQ(console.app->impl().revision, 1);
    ASSERT_FALSE(console.call("saveSession", {{"path", second}}).is_null());
    EXPECT_EQ(sha256sumOf(second), sha256sumOf(first));
    EXPECT_EQ(readWholeFile(second), readWholeFile(first));

    // The scenes work: the verse brings the compressor's value back, and the show plays.
    const Json allOpen = {
        {"levels", false}, {"processing", false}, {"routing", false}, {"fx", false}};
    ASSERT_FALSE(
        console.call("recallScene", {{"sceneId", "scene-01"}, {"safe", allOpen}}).is_null());
    EXPECT_NEAR(parameterValue(console, "vox", "comp", show.compId), show.verseComp, 1e-6);
    EXPECT_TRUE(
        console.call("startAudio", console.startParams()).at("/audio/running"_json_pointer));
}

// What a refused load must leave of the running show.
struct Running {
    std::int64_t revision;
    std::string native;
    std::string ui;
    std::string scenes;
    std::string files;
    std::uint64_t durationFrames;
    bool graph;
    bool operator==(const Running&) const = default;
};

Running running(Application& app) {
    auto& impl = app.impl();
    return {
        impl.revision,           impl.nativeSession.dump(), impl.uiSession.dump(),
        impl.sceneStates.dump(), impl.playbackFiles.dump(), impl.playback->status().durationFrames,
        impl.graph.hasGraph()};
}

// Each bad file fails the loadSession job with its own text, within a second for a FIFO, and
// the running show keeps its revision, documents, scenes, bank and graph.
TEST(SessionFiles, BadFilesFailTheLoadJobAndLeaveTheRunningShow) {
    TempFolder folder;
    const std::string wavPath = folder.file("backing.wav");
    ASSERT_TRUE(testing::writeSoxWav(wavPath, 48000, 2, 1));
    HeadlessConsole console;
    (void)buildShow(console, wavPath);
    const std::string good = folder.file("good.kestavel");
    ASSERT_FALSE(console.call("saveSession", {{"path", good}}).is_null());
    const std::string valid = readWholeFile(good);
    const Json payload = loadSessionFile(good);

    std::string upper = valid;
    const auto digestAt = valid.find("\"sha256\":\"") + 10;
    for (std::size_t i = digestAt; i < digestAt + 64; ++i) {
        upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
    }
    // 64 levels saved, then one more array in the same place.
    const auto arrays = [](int n) {
        return "\"deep\":" + std::string(n, '[') + std::string(n, ']');
    };
    std::string deepest;
    {
        Json deep = Json::array();
        for (int level = 64; level > 4; --level) {
            deep = Json::array({deep});
        }
        Json nested = payload;
        nested["uiState"]["deep"] = deep;
        nested["uiState"]["quote"] = "\"[[[[{{{{\\\"";
        const std::string path = folder.file("deep.kestavel");
        saveSessionFile(path, nested);
        deepest = replaceOnce(readWholeFile(path), arrays(61), arrays(62));
    }
    // Payloads that every file rule accepts and the load itself refuses.
    const auto edited = [&](const std::function<void(Json&)>& edit) {
        Json changed = payload;
        edit(changed);
        return changed;
    };
    Json catalogue = Json::array();
    for (int k = 0; k < 129; ++k) {
        catalogue.push_back({{"path", wavPath}});
    }

    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        std::string error;
    };
    const auto bytes = [](std::string content) {
        return [content](const std::string& path) { writeWholeFile(path, content); };
    };
    const auto stored = [](Json content) {
        return [content](const std::string& path) { saveSessionFile(path, content); };
    };
    const std::string store = "Cannot load session: ";
    const std::vector<Case> cases = {
        {"empty", bytes(""), store + "Session file must contain 1 byte to 64 MiB."},
        {"over 64 MiB",
         [](const std::string& path) {
             writeWholeFile(path, "{");
             ASSERT_EQ(::truncate(path.c_str(), 67108865), 0);
         },
         store + "Session file must contain 1 byte to 64 MiB."},
        {"65 levels", bytes(deepest), store + "Session nesting exceeds 64 levels."},
        {"truncated", bytes(valid.substr(0, valid.size() - 1)), store + "Truncated session JSON."},
        {"extra envelope member",
         bytes(replaceOnce(valid, "\"version\":1}", "\"version\":1,\"x\":0}")),
         store + "Invalid session envelope fields."},
        {"renamed envelope member", bytes(replaceOnce(valid, "\"sha256\":", "\"sha257\":")),
         store + "Missing session envelope field: sha256."},
        {"version 1.0", bytes(replaceOnce(valid, "\"version\":1}", "\"version\":1.0}")),
         store + "Unsupported session format or version."},
        {"upper-case hex", bytes(upper), store + "Invalid session checksum."},
        {"one value changed", bytes(replaceOnce(valid, "\"gainDb\":-4", "\"gainDb\":-5")),
         store + "Session checksum does not match its payload."},
        {"a folder", [](const std::string& path) { std::filesystem::create_directory(path); },
         store + "Cannot open session file (system error 21)."},
        {"a FIFO", [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
         store + "Cannot open session file (system error 22)."},
        {"missing", [](const std::string&) {},
         store + "Cannot open session file (system error 2)."},
        {"no nodes", bytes(replaceOnce(valid, "\"nodes\":[", "\"nodes\":[],\"old\":[")),
         store + "Invalid native session format or node count."},
        {"fractional sampleRate",
         stored(edited([](Json& p) { p["native"]["sampleRate"] = 44100.5; })),
         "Invalid sampleRate"},
        {"sampleRate below range",
         stored(edited([](Json& p) { p["native"]["sampleRate"] = 4000; })), "Invalid sampleRate"},
        {"129 catalogue entries",
         stored(edited([&](Json& p) { p["native"]["playbackFiles"] = catalogue; })),
         "Invalid project playback catalogue"},
        {"catalogue names a missing file", stored(edited([&](Json& p) {
             p["native"]["playbackFiles"][0]["path"] = folder.file("gone.wav");
         })),
         "Cannot open playback WAV for metadata inspection"},
        {"a strip the graph refuses",
         stored(edited([](Json& p) { p["native"]["nodes"][0]["kind"] = "mixer"; })),
         "Unknown node kind"},
    };

    const Running before = running(*console.app);
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = folder.file("bad-" + std::to_string(n++) + ".kestavel");
        c.make(path);
        const Json started =
            beginJob(*console.app, jobRequest("loadSession", {{"path", path}}, 90));
        ASSERT_TRUE(pendingReply(started)) << started.dump();
        // Ten seconds is a load that blocked on the FIFO, not one that was slow to refuse it.
        const Json reply = awaitJob(*console.app, 10.0);
        if (reply.value("error", std::string()) == "the job did not finish") {
            const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
            ADD_FAILURE() << "the load blocked";
            (void)awaitJob(*console.app);
            if (writer >= 0) {
                ::close(writer);
            }
            continue;
        }
        EXPECT_EQ(reply, Json({{"id", 90}, {"ok", false}, {"error", c.error}}));
        EXPECT_TRUE(running(*console.app) == before) << "the running show changed";
        EXPECT_EQ(console.app->buildControlState().at("/controlJob/phase"_json_pointer), "failed");
    }
    // The good file still loads over the same show.
    const Json reply = runJob(*console.app, jobRequest("loadSession", {{"path", good}}, 91));
    EXPECT_TRUE(reply.at("ok").get<bool>()) << reply.dump();
    EXPECT_EQ(console.app->impl().revision, before.revision + 1);
}

// The Application goes while a load runs, at moments from its start to a body that has finished
// but was never collected: the destructor cancels, waits for the body, drops the loaded bank
// and returns; the sanitizer build checks that nothing leaks.
TEST(SessionFiles, DestroyingTheApplicationDuringALoadCancelsAndWaits) {
    TempFolder folder;
    const std::string wavPath = folder.file("long.wav");
    ASSERT_TRUE(testing::writeSoxWav(wavPath, 44100, 2, 30, 24));
    Json payload = {{"native", testing::nativeDescription(Json::array({testing::mainBus()}))},
                    {"uiState", {{"schemaVersion", 2}, {"scenes", Json::array()}}},
                    {"sceneStates", Json::object()}};
    payload["native"]["playbackFiles"] = Json::array({{{"path", wavPath}}});
    const std::string session = folder.file("long.kestavel");
    saveSessionFile(session, payload);
    const std::string bytes = readWholeFile(session);

    using namespace std::chrono_literals;
    const std::vector<std::chrono::milliseconds> moments = {0ms, 1ms, 10ms, 40ms, 150ms};
    for (const char* method : {"loadSession", "loadPlayback"}) {
        const Json params = std::string(method) == "loadSession" ? Json{{"path", session}}
                                                                 : Json{{"paths", {wavPath}}};
        for (std::size_t k = 0; k <= moments.size(); ++k) {
            SCOPED_TRACE(std::string(method) + " moment " + std::to_string(k));
            HeadlessConsole console;
            ASSERT_TRUE(pendingReply(beginJob(*console.app, jobRequest(method, params))));
            if (k < moments.size()) {
                std::this_thread::sleep_for(moments[k]);
            } else {
                while (!testing::bodyFinished(*console.app)) {
                    std::this_thread::sleep_for(5ms);
                }
            }
            console.app.reset();
        }
    }
    EXPECT_EQ(readWholeFile(session), bytes);
}

} // namespace
} // namespace kestravon::ruvi
