// "capabilities", "devices", "plugins", "startAudio" and "getControlState" through the gate.

#include "app/application_impl.h"

#include "tests/app/app_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace kestravon::ruvi {
namespace {

using testing::HeadlessConsole;
using testing::Json;

namespace fs = std::filesystem;

TEST(DeviceMethods, CapabilitiesAreFixed) {
    HeadlessConsole console;
    EXPECT_EQ(console.call("capabilities"), Json::parse(R"({
        "nativeEngine": true, "backend": "WASAPI", "physicalAudio": true, "vst3Host": true,
        "recorder": true, "recorderTaps": ["rawInput"], "sessionStore": true, "scenes": true,
        "playback": true, "remote": false, "maxNodes": 128, "maxBlock": 4096,
        "builtInEffects": true, "stripProcessing": true})"));
}

TEST(DeviceMethods, DevicesFollowTheCatalogue) {
    HeadlessConsole console;
    const Json both = console.call("devices");
    ASSERT_EQ(both.at("devices").size(), 2u);
    EXPECT_EQ(both.at("devices")[1],
              Json::parse(R"({"id": "virtual:output", "name": "Virtual Output",
                  "physicalUnitId": "virtual:output", "capture": false, "channels": 2,
                  "sampleRate": 48000, "available": true})"));
    EXPECT_EQ(console.app->impl().devices.size(), 2u);
    // A removed endpoint leaves the list, and the held list with it.
    console.input->remove();
    const Json one = console.call("devices");
    ASSERT_EQ(one.at("devices").size(), 1u);
    EXPECT_EQ(one.at("devices")[0].at("id"), testing::kOutputId);
    EXPECT_EQ(console.app->impl().devices.size(), 1u);
}

// HOME points at a folder of our own for one test, so its ~/.vst3 is the first search folder.
class ScopedHome {
public:
    explicit ScopedHome(const std::string& name)
        : folder_(fs::temp_directory_path() /
                  ("ruvi-home-" + name + "-" + std::to_string(::getpid()))) {
        fs::remove_all(folder_);
        fs::create_directories(folder_ / ".vst3");
        if (const char* home = std::getenv("HOME")) {
            saved_ = home;
        }
        ::setenv("HOME", folder_.c_str(), 1);
    }
    ~ScopedHome() {
        ::setenv("HOME", saved_.c_str(), 1);
        fs::remove_all(folder_);
    }
    fs::path plugins() const { return folder_ / ".vst3"; }

private:
    fs::path folder_;
    std::string saved_;
};

void touch(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
}

Json rowsUnder(const Json& reply, const fs::path& folder) {
    Json rows = Json::array();
    for (const Json& row : reply.at("plugins")) {
        if (row.at("modulePath").get<std::string>().rfind(folder.string(), 0) == 0) {
            rows.push_back(row);
        }
    }
    return rows;
}

TEST(DeviceMethods, PluginsWalkTheSearchFolders) {
    ScopedHome home("walk");
    const fs::path root = home.plugins();
    touch(root / "Plain.vst3");
    touch(root / "vendor" / "Nested.vst3");
    touch(root / "upper.VST3");
    touch(root / "notes.txt");
    // A bundle is one row; nothing inside it is listed, even a file that looks like a module.
    touch(root / "Odd\xFF.vst3" / "Contents" / "x86_64-linux" / "Inner.vst3");
    HeadlessConsole console;
    const Json reply = console.call("plugins");
    EXPECT_EQ(reply.at("scanMode"), "filesystem catalogue; modules load only on enabled insert");
    Json rows = rowsUnder(reply, root);
    std::sort(rows.begin(), rows.end(),
              [](const Json& a, const Json& b) { return a.at("name") < b.at("name"); });
    const Json expected = {
        {{"name", "Nested"},
         {"modulePath", (root / "vendor" / "Nested.vst3").string()},
         {"format", "VST3"}},
        {{"name", "Odd\xEF\xBF\xBD"},
         {"modulePath", root.string() + "/Odd\xEF\xBF\xBD.vst3"},
         {"format", "VST3"}},
        {{"name", "Plain"}, {"modulePath", (root / "Plain.vst3").string()}, {"format", "VST3"}},
    };
    EXPECT_EQ(rows, expected);
    (void)reply.dump(); // the repaired names serialise
    // The system folder is walked after the home folder.
    EXPECT_FALSE(rowsUnder(reply, "/usr/lib/vst3/ZamComp.vst3").empty());
}

TEST(DeviceMethods, PluginsTakeAt1024RowsFromAFolder) {
    ScopedHome home("many");
    for (int i = 0; i < 1500; ++i) {
        touch(home.plugins() / ("m" + std::to_string(i) + ".vst3"));
    }
    HeadlessConsole console;
    EXPECT_EQ(rowsUnder(console.call("plugins"), home.plugins()).size(), 1024u);
}

TEST(DeviceMethods, PluginsWithoutAHomeFolder) {
    ScopedHome home("none");
    fs::remove_all(home.plugins());
    HeadlessConsole console;
    const Json reply = console.call("plugins");
    EXPECT_TRUE(rowsUnder(reply, home.plugins()).empty());
    EXPECT_FALSE(reply.at("plugins").empty()); // the system folder still answers
}

TEST(DeviceMethods, StartAudioRefusesInItsOrder) {
    HeadlessConsole console;
    auto& a = console.app->impl();
    EXPECT_EQ(console.refusal("startAudio", console.startParams()),
              "Apply a valid session before audio start");
    ASSERT_FALSE(console.call("unloadPlayback").is_null());
    EXPECT_EQ(console.refusal("startAudio", console.startParams()),
              "Apply the file routing after loading or unloading WAV files");

    ASSERT_FALSE(console.applySession(testing::toneToMainSession()).is_null());
    const Json routes = console.call("status").at("routing").at("preparedRoutes");
    ASSERT_EQ(routes.size(), 1u);

    // Checked reads: refused before the device or the graph is touched.
    for (const char* key : {"requestedRate", "requestedBlock"}) {
        for (const Json& bad : {Json(4295015296LL), Json(48000.5), Json(true), Json("48000"),
                                Json(2147483648LL), Json(nullptr)}) {
            SCOPED_TRACE(std::string(key) + " " + bad.dump());
            Json params = console.startParams();
            params[key] = bad;
            EXPECT_EQ(console.refusal("startAudio", params),
                      "Invalid callback/device/rate/block configuration.");
            EXPECT_EQ(console.call("status").at("routing").at("preparedRoutes"), routes);
        }
    }
    Json noId = console.startParams();
    noId["outputs"] = Json::array({{{"exclusive", false}}});
    EXPECT_NE(console.refusal("startAudio", noId).find("'id'"), std::string::npos);
    EXPECT_EQ(console.call("status").at("routing").at("preparedRoutes"), routes);

    // Loaded lanes at another rate (an empty bank has rate 0).
    a.playbackChannels = 2;
    EXPECT_EQ(console.refusal("startAudio", console.startParams()),
              "Reload WAV files at the requested sample rate");
    a.playbackChannels = 0;

    ASSERT_FALSE(console.call("startAudio", console.startParams()).is_null());
    // While running, that refusal comes first whatever else is wrong.
    EXPECT_EQ(console.refusal("startAudio", {{"requestedRate", true}}),
              "Audio already running; stop before device reconfiguration");
}

TEST(DeviceMethods, StartAudioFailuresAfterTheStopLeaveNoGraph) {
    HeadlessConsole console;
    ASSERT_FALSE(console.applySession(testing::toneToMainSession()).is_null());
    // No params: 48000 Hz, 128 frames and no endpoints, which the backend refuses.
    EXPECT_EQ(console.refusal("startAudio"), "Invalid callback/device/rate/block configuration.");
    Json status = console.call("status");
    EXPECT_FALSE(status.at("audio").at("running").get<bool>());
    EXPECT_TRUE(status.at("routing").at("preparedRoutes").empty());

    // The description reads the tone input, which this start leaves out: the engine refuses.
    Json outputsOnly = console.startParams();
    outputsOnly["inputs"] = Json::array();
    EXPECT_EQ(console.refusal("startAudio", outputsOnly),
              "Port endpoint not in selected active device generation");
    status = console.call("status");
    EXPECT_FALSE(status.at("audio").at("running").get<bool>());
    EXPECT_TRUE(status.at("meters").empty());
    // The held description is still there: a full start works.
    const Json started = console.call("startAudio", console.startParams());
    EXPECT_TRUE(started.at("audio").at("running").get<bool>());
    EXPECT_EQ(console.app->impl().nativeSession.at("sampleRate"), 48000);
}

TEST(DeviceMethods, GetControlStateSendsTheUiDocumentWhenAfterDiffers) {
    HeadlessConsole console;
    EXPECT_FALSE(console.call("getControlState").contains("uiState")); // no UI document held
    const Json ui = {{"schemaVersion", 2}, {"strips", Json::array()}};
    ASSERT_FALSE(console.applySession(testing::toneToMainSession(), ui).is_null());
    const std::int64_t revision = console.app->impl().revision;
    ASSERT_GT(revision, 0);
    struct Case {
        Json params;
        bool sendsUi;
    };
    const Case cases[] = {
        {Json::object(), true},
        {{{"after", revision}}, false},
        {{{"after", static_cast<double>(revision)}}, true},
        {{{"after", revision + (1LL << 32)}}, true},
        {{{"after", -1}}, true},
        {{{"after", std::to_string(revision)}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params.dump());
        const Json reply = console.call("getControlState", c.params);
        EXPECT_EQ(reply.at("revision"), revision);
        EXPECT_EQ(reply.at("status").size(), 10u);
        EXPECT_EQ(reply.contains("uiState"), c.sendsUi);
        if (c.sendsUi) {
            EXPECT_EQ(reply.at("uiState"), ui);
        }
    }
}

// One insert that cannot be captured fails the start with its name, and every other insert's
// fresh state is still written into the held description.
TEST(DeviceMethods, StartAudioCapturesInsertStatesOneByOne) {
    HeadlessConsole console;
    const Json in1 = testing::compressorAndTestPluginStrip();
    ASSERT_FALSE(
        console.applySession(testing::nativeDescription(Json::array({in1, testing::mainBus()})))
            .is_null());
    using ModeFn = void (*)(int);
    const auto setMode =
        testing::testPluginSymbol<ModeFn>("basic", "ruviTestplugSetComponentStateMode");
    ASSERT_NE(setMode, nullptr);
    setMode(2); // a state over 16 MiB
    const std::string error = console.refusal("startAudio", console.startParams());
    setMode(0);
    EXPECT_EQ(error.rfind("VST3 insert big: ", 0), 0u) << error;
    const Json& inserts = console.app->impl().nativeSession.at("nodes")[0].at("inserts");
    EXPECT_TRUE(inserts[0].contains("stateHex")) << "the compressor's state was thrown away";
    EXPECT_FALSE(inserts[1].contains("stateHex"));
    EXPECT_FALSE(console.call("status").at("audio").at("running").get<bool>());
    // With the plug-in's state back in bounds the same session starts.
    EXPECT_TRUE(
        console.call("startAudio", console.startParams()).at("audio").at("running").get<bool>());
}

} // namespace
} // namespace kestravon::ruvi
