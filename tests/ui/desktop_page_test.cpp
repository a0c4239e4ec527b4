// The console page in the program's own web view, under a virtual X display: the real page
// folder, the real bridge world and the real control core on the virtual tone input and output.
// The page is driven by script in its own world, as a user's clicks would drive it.

#include "shell/shell_program.h"

#include "shell/gtk_editor_window.h"

#include "app/application.h"
#include "app/session_file_store.h"
#include "audio/endpoint_catalogue.h"
#include "audio/virtual_endpoints.h"
#include "gtk_test_support.h"
#include "remote/remote_server.h"
#include "shell_test_support.h"
#include "tests/vst3/plugins/test_plugin_memo.h"

#include <gtk/gtk.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

std::unique_ptr<Application> toneApplication() {
    return std::make_unique<Application>(std::make_shared<EndpointCatalogue>(
        std::vector<std::shared_ptr<AudioEndpointProvider>>{VirtualEndpointSet::makeDefault()}));
}

struct DesktopPage : ::testing::Test {
    TempFolder folder;
    ScriptedDialogs dialogs;
    RemoteServer server;
    std::unique_ptr<ShellProgram> program;

    void SetUp() override {
        ASSERT_TRUE(gtkReady()) << "no X display";
        {
            auto probe = toneApplication();
            for (const char* method : {"getControlState", "devices", "startAudio"}) {
                if (coreMethodMissing(probe->handleRequest({{"id", 1}, {"method", method}}))) {
                    GTEST_SKIP() << method << " is not in the control core yet";
                }
            }
        }
        ShellOptions o;
        o.folder = folder.path;
        o.webRoot = std::string(RUVI_SOURCE_DIR) + "/ui";
        o.makeApplication = [] { return toneApplication(); };
        o.dialogs = &dialogs;
        o.server = &server;
        program = std::make_unique<ShellProgram>(o);
        waitForConsole();
    }

    void TearDown() override {
        program.reset();
        runFor(50ms);
    }

    Json eval(const std::string& script) { return evalInPage(program->webView(), script); }

    // The ceilings are for what never happens; a busy machine only makes things later.
    bool waitFor(const std::string& condition, std::chrono::milliseconds timeout = 30s) {
        return runUntil([&] { return eval("!!(" + condition + ")") == Json(true); }, timeout);
    }

    void click(const std::string& selector) {
        ASSERT_EQ(eval("(() => { const e = document.querySelector(" + Json(selector).dump() +
                       "); if (!e || e.disabled) return false; e.click(); return true; })()"),
                  Json(true))
            << selector;
    }

    void waitForConsole() {
        ASSERT_TRUE(waitFor("window.__ruviStore && window.__ruviStore.revision >= 0 && "
                            "document.querySelector('[data-top=connection]').textContent === "
                            "'online · bridge'",
                            60s)) // a web process starting on a busy machine
            << eval("document.body.innerText").dump();
    }

    // New session from the devices, applied, as an engineer builds the first one.
    void applyTemplate() {
        click("[data-tab=session]");
        click("[data-action=template]");
        ASSERT_TRUE(waitFor("document.querySelector('[data-draft=in1]')"));
        click("[data-action=applySession]");
        ASSERT_TRUE(waitFor("window.__ruviStore.ui && window.__ruviStore.ui.channels.length === 1"))
            << eval("document.querySelector('[data-result=session]').textContent").dump();
    }

    // A WAV file chosen in the Playback screen's dialog, loaded as a background job.
    void loadWavThroughTheDialog(const std::string& wav) {
        click("[data-tab=playback]");
        dialogs.wavAnswers.push_back(std::vector<std::string>{wav});
        click("[data-action=loadPlayback]");
        ASSERT_TRUE(waitFor("window.__ruviStore.status.playback.files.length === 1", 60s))
            << eval("window.__ruviStore.lastError").dump();
    }

    // The first strip takes the file's lanes instead of its device, and the session is applied.
    void feedTheFirstStripFrom(const std::string& wav) {
        click("[data-tab=session]");
        eval("(() => { const s = document.querySelector('select[aria-label=\"in1 source kind\"]'); "
             "s.value = " +
             Json(wav).dump() + "; s.dispatchEvent(new Event('change')); })()");
        click("[data-action=applySession]");
        ASSERT_TRUE(waitFor("window.__ruviStore.ui.channels[0].sourceType === 'file'"))
            << eval("document.querySelector('[data-result=session]').textContent").dump();
    }

    double peakDb(const std::string& nodeId) {
        const Json peak =
            eval("Math.max(0, ...(window.__ruviStore.status.meters || []).filter(m => "
                 "m.nodeId === " +
                 Json(nodeId).dump() + ").map(m => Math.max(m.peakL, m.peakR)))");
        return peak.is_number() && peak.get<double>() > 0 ? 20 * std::log10(peak.get<double>())
                                                          : -200;
    }
};

TEST_F(DesktopPage, TemplateAppliedAndAudioStartedFromThePageReachesTheToneStripsMeter) {
    applyTemplate();
    EXPECT_EQ(eval("window.__ruviStore.ui.channels[0].sourcePorts[0].deviceId"),
              "virtual:tone-input");
    click("[data-tab=audio]");
    EXPECT_EQ(eval("document.querySelector('[data-action=startAudio]').disabled"), false);
    click("[data-action=startAudio]");
    ASSERT_TRUE(waitFor("document.querySelector('[data-top=audio]').textContent === 'RUNNING'"));
    ASSERT_TRUE(runUntil([&] { return peakDb("in1") > -30; }, 30s)) << peakDb("in1");
    EXPECT_GT(peakDb("main-lr"), -30);
    click("[data-tab=mixer]");
    // The mixer is painted once the web view's own snapshot shows it; a busy machine paints it
    // later. The snapshot, not the display: another test's window may lie over this one.
    EXPECT_TRUE(runUntil([&] { return pageColours(program->webView()) > 20; }, 30s))
        << pageColours(program->webView());
    if (const char* shots = std::getenv("RUVI_UI_SHOTS")) {
        GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(program->mainWindow()));
        GdkPixbuf* pixels = gdk_pixbuf_get_from_window(window, 0, 0, gdk_window_get_width(window),
                                                       gdk_window_get_height(window));
        ASSERT_NE(pixels, nullptr);
        gdk_pixbuf_save(pixels, (std::string(shots) + "/desktop-mixer.png").c_str(), "png", nullptr,
                        nullptr);
        g_object_unref(pixels);
    }

    // Starting again is refused, and the refusal shows in the system's own words.
    click("[data-action=startAudio]");
    EXPECT_TRUE(waitFor("document.querySelector('[data-refusal=audio] [data-refusal-text]')."
                        "textContent === 'Audio already running; stop before device "
                        "reconfiguration'"));
}

TEST_F(DesktopPage, AutoStartPreferenceStartsAudioWhenTheConsoleOpens) {
    applyTemplate();
    click("[data-tab=audio]");
    ASSERT_TRUE(waitFor("document.querySelector('[data-device=\"virtual:output\"]')"));
    ASSERT_EQ(eval("(() => { const c = document.querySelector('input[aria-label=\"Start audio when "
                   "the page loads\"]'); c.checked = true; return c.checked; })()"),
              Json(true));
    click("[data-action=saveDevicePrefs]");
    ASSERT_TRUE(waitFor("window.__ruviStore.ui.device.autoStart === true"));
    EXPECT_EQ(eval("window.__ruviStore.status.audio.running"), false);

    // The reloaded page, not the one before it: the marker goes with the old page.
    eval("window.beforeReload = true; location.reload()");
    ASSERT_TRUE(waitFor("window.beforeReload === undefined", 60s));
    waitForConsole();
    ASSERT_TRUE(waitFor("window.__ruviStore.status.audio.running === true"));
    ASSERT_TRUE(runUntil([&] { return peakDb("in1") > -30; }, 30s));
}

TEST_F(DesktopPage, InsertFromThePluginListOpensItsEditorBypassesAndListsItsParameters) {
    applyTemplate();
    click("[data-action=plugins]");
    const std::string module = "/usr/lib/vst3/ZamCompX2.vst3";
    ASSERT_TRUE(
        waitFor("document.querySelector('select[aria-label=\"in1 add insert\"] option[value=\"" +
                module + "\"]')"))
        << eval("document.querySelector('[data-result=session]').textContent").dump();
    eval("(() => { const s = document.querySelector('select[aria-label=\"in1 add insert\"]'); "
         "s.value = " +
         Json(module).dump() + "; s.dispatchEvent(new Event('change')); })()");
    ASSERT_TRUE(waitFor("document.querySelector('[data-draft=in1] .chip')"));
    click("[data-action=applySession]");
    ASSERT_TRUE(waitFor("window.__ruviStore.ui.channels[0].inserts.length === 1"))
        << eval("document.querySelector('[data-result=session]').textContent").dump();

    click(".strip[data-strip=in1] .strip-name");
    ASSERT_TRUE(waitFor("document.querySelector('[data-insert=\"in1-fx1\"]')"));
    click("[data-insert=\"in1-fx1\"] [data-action=getVstParameters]");
    EXPECT_TRUE(waitFor("document.querySelectorAll('.vst-params input[type=range]').length > 3"));
    // The first continuous parameter: a stepped one would snap the value to its steps.
    eval("(() => { const r = document.querySelector('.vst-params "
         "input[type=range][step=\"0.001\"]:not(:disabled)'); r.value = '0.25'; "
         "r.dispatchEvent(new Event('input')); })()");
    EXPECT_TRUE(waitFor(
        "Object.values(window.__ruviStore.ui.channels[0].inserts[0].parameters).includes(0.25)"))
        << eval("JSON.stringify(window.__ruviStore.ui.channels[0].inserts[0].parameters)").dump()
        << eval("JSON.stringify(window.__ruviStore.errors)").dump();

    const Json errors = eval("window.__ruviStore.errors.length");
    EXPECT_EQ(errors, 0) << eval("JSON.stringify(window.__ruviStore.errors)").dump();
    click("input[aria-label=\"Bypass in1-fx1\"]");
    EXPECT_TRUE(waitFor("window.__ruviStore.ui.channels[0].inserts[0].bypass === true"));
    EXPECT_EQ(eval("window.__ruviStore.errors.length"), errors);

    click("[data-insert=\"in1-fx1\"] [data-action=showVstEditor]");
    EXPECT_TRUE(runUntil([&] { return program->editors().hasEditorWindow(); }, 30s));
    EXPECT_EQ(eval("window.__ruviStore.errors.length"), errors)
        << eval("window.__ruviStore.lastError").dump();
}

TEST_F(DesktopPage, WavFilesLoadThroughTheDialogFeedAStripAndPlay) {
    const std::string wav = folder.path + "/tone440.wav";
    ASSERT_EQ(
        std::system(("sox -n -r 48000 -c 2 -b 24 " + wav + " synth 3 sine 440 vol 0.5").c_str()),
        0);
    applyTemplate();
    ASSERT_NO_FATAL_FAILURE(loadWavThroughTheDialog(wav));
    EXPECT_EQ(dialogs.wavDialogs, 1);
    EXPECT_TRUE(
        waitFor("document.querySelector('[data-file]') && "
                "document.querySelector('[data-file]').textContent.includes('tone440.wav')"));
    EXPECT_TRUE(waitFor("window.__ruviStore.status.controlJob.method === 'loadPlayback' && "
                        "window.__ruviStore.status.controlJob.phase === 'complete'"));

    ASSERT_NO_FATAL_FAILURE(feedTheFirstStripFrom(wav));
    click("[data-tab=audio]");
    click("[data-action=startAudio]");
    ASSERT_TRUE(waitFor("window.__ruviStore.status.audio.running === true"))
        << eval("window.__ruviStore.lastError").dump();
    click("[data-tab=playback]");
    click("[data-action=playPlayback]");
    EXPECT_TRUE(waitFor("window.__ruviStore.status.playback.playing === true"));
    EXPECT_TRUE(runUntil([&] { return peakDb("in1") > -12; }, 30s)) << peakDb("in1");
    click("[data-action=stopPlayback]");
    EXPECT_TRUE(waitFor("window.__ruviStore.status.playback.playing === false"));
}

// Loading WAV files makes the page apply the session again before audio can start; that Apply
// keeps what each plug-in holds beyond its parameters and the session's block size, and the
// next save writes them.
TEST_F(DesktopPage, AnApplyAfterLoadingWavFilesKeepsPluginStateAndBlockSizeInTheSavedFile) {
    applyTemplate();
    Application& app = *program->application();
    const auto local = [&](const std::string& method, const Json& params) {
        const Json reply = app.handleRequest({{"id", 1}, {"method", method}, {"params", params}});
        EXPECT_EQ(reply.value("ok", false), true) << method << ": " << reply.dump();
        return reply;
    };
    const std::string scratch = folder.path + "/scratch.kestavel";
    const auto savedNative = [&] {
        local("saveSession", {{"path", scratch}});
        return loadSessionFile(scratch).at("native");
    };
    const auto in1Of = [](Json& native) -> Json& {
        for (Json& node : native.at("nodes")) {
            if (node.at("id") == "in1") {
                return node;
            }
        }
        throw std::runtime_error("no in1");
    };

    // The engineer's session as it stands: in1 holds a plug-in whose state keeps a note beside
    // its parameters, and the session opens plug-ins for 128-frame blocks.
    const std::string module = std::string(RUVI_TESTPLUG_DIR) + "/ruvi_testplug_memo.vst3";
    Json ui = Json::parse(eval("JSON.stringify(window.__ruviStore.ui)").get<std::string>());
    ui["channels"][0]["inserts"] = Json::array({{{"id", "in1-fx1"},
                                                 {"modulePath", module},
                                                 {"enabled", true},
                                                 {"bypass", false},
                                                 {"parameters", Json::object()}}});
    Json native = savedNative();
    in1Of(native)["inserts"] = Json::array(
        {{{"id", "in1-fx1"}, {"modulePath", module}, {"enabled", true}, {"bypass", false}}});
    native["maximumBlock"] = 128;
    local("applySession", {{"native", native}, {"uiState", ui}});
    Json withState = savedNative();
    Json& insert = in1Of(withState)["inserts"][0];
    insert["stateHex"] =
        testing::stateWithMemo(insert.at("stateHex").get<std::string>(), "mix notes");
    local("applySession", {{"native", withState}});
    ASSERT_TRUE(waitFor("window.__ruviStore.ui.channels[0].inserts?.length === 1"));

    const std::string wav = folder.path + "/backing.wav";
    ASSERT_EQ(
        std::system(("sox -n -r 48000 -c 2 -b 24 " + wav + " synth 2 sine 440 vol 0.5").c_str()),
        0);
    ASSERT_NO_FATAL_FAILURE(loadWavThroughTheDialog(wav));
    ASSERT_NO_FATAL_FAILURE(feedTheFirstStripFrom(wav));

    const std::string session = folder.path + "/show.kestavel";
    dialogs.sessionAnswers.push_back(session);
    click("[data-action=saveSession]");
    ASSERT_TRUE(
        waitFor("document.querySelector('[data-result=session]').textContent.startsWith('Saved')"))
        << eval("document.querySelector('[data-result=session]').textContent").dump();
    Json saved = loadSessionFile(session).at("native");
    EXPECT_EQ(saved.at("maximumBlock"), 128);
    const Json& kept = in1Of(saved).at("inserts").at(0);
    EXPECT_EQ(kept.at("modulePath"), module);
    EXPECT_EQ(testing::memoOfState(kept.at("stateHex").get<std::string>()), "mix notes");
    EXPECT_EQ(in1Of(saved).at("source").at("kind"), "file");
}

// The controls of every remaining method, each reaching the stage computer and answered "ok".
TEST_F(DesktopPage, EveryOtherMethodRunsFromItsControl) {
    applyTemplate();
    const std::string wav = folder.path + "/tone.wav";
    ASSERT_EQ(
        std::system(("sox -n -r 48000 -c 2 -b 24 " + wav + " synth 2 sine 440 vol 0.5").c_str()),
        0);
    const Json errors = eval("window.__ruviStore.errors.length");
    const auto noErrors = [&] { return eval("window.__ruviStore.errors.length") == errors; };

    click(".strip[data-strip=in1] .strip-name");
    click("input[aria-label=HPF]");
    ASSERT_TRUE(
        waitFor("window.__ruviStore.ui.channels[0].stripProcessing?.hpf?.enabled === true"));

    click("[data-tab=audio]");
    click("[data-action=capabilities]");
    EXPECT_TRUE(waitFor("document.querySelector('.caps').textContent.includes('Native engine')"));
    click("[data-action=startAudio]");
    ASSERT_TRUE(waitFor("window.__ruviStore.status.audio.running === true"));
    click("[data-action=stopAudio]");
    ASSERT_TRUE(waitFor("window.__ruviStore.status.audio.running === false"));

    const std::string session = folder.path + "/show.kestavel";
    click("[data-tab=session]");
    dialogs.sessionAnswers.push_back(session);
    click("[data-action=saveSession]");
    ASSERT_TRUE(
        waitFor("document.querySelector('[data-result=session]').textContent.startsWith('Saved')"))
        << eval("document.querySelector('[data-result=session]').textContent").dump();
    dialogs.sessionAnswers.push_back(session);
    click("[data-action=loadSession]");
    ASSERT_TRUE(waitFor("window.__ruviStore.status.controlJob.method === 'loadSession' && "
                        "window.__ruviStore.status.controlJob.phase === 'complete'"));

    click("[data-tab=playback]");
    dialogs.wavAnswers.push_back(std::vector<std::string>{wav});
    click("[data-action=loadPlayback]");
    ASSERT_TRUE(waitFor("window.__ruviStore.status.playback.files.length === 1", 60s));
    eval("(() => { const s = document.querySelector('input[aria-label=Position]'); s.value = "
         "'24000'; "
         "s.dispatchEvent(new Event('change')); })()");
    EXPECT_TRUE(waitFor("window.__ruviStore.status.playback.requestedFrame === 24000 || "
                        "window.__ruviStore.status.playback.frame === 24000"));
    eval("(() => { const e = document.querySelector('input[aria-label=\"Loop end frame\"]'); "
         "e.value = "
         "'48000'; document.querySelector('input[aria-label=Loop]').click(); })()");
    EXPECT_TRUE(waitFor("window.__ruviStore.status.playback.looping === true"));
    click("[data-action=unloadPlayback]");
    EXPECT_TRUE(waitFor("window.__ruviStore.status.playback.files.length === 0"));

    setenv("RUVI_LAN_LOOPBACK_ONLY", "1", 1);
    click("[data-tab=lan]");
    const unsigned port = freeLoopbackPort();
    eval("(() => { document.querySelector('input[aria-label=\"LAN control enabled\"]').checked = "
         "true; "
         "document.querySelector('input[aria-label=Port]').value = '" +
         std::to_string(port) +
         "'; document.querySelector('input[aria-label=\"LAN password\"]').value = 'stage-pass-1'; "
         "})()");
    click("[data-action=configureRemote]");
    EXPECT_TRUE(waitFor("window.__ruviStore.status.remote.enabled === true"));
    EXPECT_EQ(eval("window.__ruviStore.status.remote.port"), port);

    click("[data-tab=diagnostics]");
    click("[data-action=status]");
    click("[data-action=getControlState]");
    EXPECT_TRUE(waitFor("window.__ruviStore.traffic.filter(t => t.reply.ok && ['status', "
                        "'getControlState'].includes(t.request.method)).length === 2"));
    EXPECT_TRUE(noErrors()) << eval("window.__ruviStore.lastError").dump();
}

} // namespace
} // namespace kestravon::ruvi
