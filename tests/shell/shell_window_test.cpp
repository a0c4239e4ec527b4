// The program in-process under a virtual X display: the main window, the page over its scheme,
// the bridge and its refusals, the status push and the close path.

#include "shell/shell_program.h"

#include "app/application.h"
#include "gtk_test_support.h"
#include "remote/remote_server.h"
#include "shell/gtk_editor_window.h"
#include "shell/request_front.h"
#include "shell_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtk/gtk.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

// Ceilings for what a loaded machine delays but a working program always does: a web process
// starting, a reply or a status push arriving, a frame reaching the screen.
constexpr auto kWebProcessCeiling = 60s;
constexpr auto kReplyCeiling = 30s;

// Counts the web view's paints on the UI side (its "draw" signal).
struct PaintCounter {
    explicit PaintCounter(GtkWidget* widget) : widget(widget) {
        handler = g_signal_connect_after(
            widget, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t*, gpointer data) -> gboolean {
                ++static_cast<PaintCounter*>(data)->paints;
                return FALSE;
            }),
            this);
    }
    ~PaintCounter() { g_signal_handler_disconnect(widget, handler); }
    PaintCounter(const PaintCounter&) = delete;
    PaintCounter& operator=(const PaintCounter&) = delete;

    GtkWidget* widget;
    gulong handler = 0;
    int paints = 0;
};

struct ProgramFixture : ::testing::Test {
    TempFolder folder;
    ScriptedDialogs dialogs;
    RemoteServer server;
    std::unique_ptr<ShellProgram> program;

    void SetUp() override { ASSERT_TRUE(gtkReady()) << "no X display"; }

    ShellOptions options(bool webView = true) {
        ShellOptions o;
        o.folder = folder.path;
        o.webRoot = probeWebRoot();
        o.webView = webView;
        o.makeApplication = [] { return headlessApplication(); };
        o.dialogs = &dialogs;
        o.server = &server;
        return o;
    }

    void start(bool webView = true) { program = std::make_unique<ShellProgram>(options(webView)); }

    WebKitWebView* view() const { return program->webView(); }

    // Waits for the probe page: loaded, its script run. The ceiling covers a web process that
    // starts on a busy machine; only one that never starts reaches it.
    void waitForPage() {
        ASSERT_NE(view(), nullptr);
        ASSERT_TRUE(runUntil(
            [&] {
                return evalInPage(view(), "document.readyState === 'complete' && "
                                          "typeof window.probe === 'object'") == Json(true);
            },
            kWebProcessCeiling));
    }

    // Sends text from the page and waits for the reply with that id (0 for refusals).
    Json sendFromPage(const std::string& text, int id) {
        const std::string script = "window.probeSend(" + Json(text).dump() + ")";
        evalInPage(view(), script);
        Json reply;
        runUntil(
            [&] {
                const Json replies = evalInPage(view(), "window.probe.replies");
                for (const Json& r : replies) {
                    if (r.value("id", -1) == id) {
                        reply = r;
                        evalInPage(view(), "window.probe.replies = []");
                        return true;
                    }
                }
                return false;
            },
            kReplyCeiling);
        return reply;
    }

    void TearDown() override {
        program.reset();
        runFor(50ms);
    }
};

TEST_F(ProgramFixture, MainWindowHasItsTitleClassSizeAndPage) {
    start();
    GtkWindow* window = program->mainWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(runUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(window)) != FALSE; },
                         kReplyCeiling));
    EXPECT_STREQ(gtk_window_get_title(window), "KESTRAVON RUVI — Beta 0.1.0-beta.2");
    EXPECT_EQ(windowClass(window), "KestravonRuviWindow/KestravonRuviWindow");
    int width = 0;
    int height = 0;
    gtk_window_get_size(window, &width, &height);
    EXPECT_EQ(width, 1440);
    EXPECT_EQ(height, 960);
    EXPECT_TRUE(std::filesystem::is_directory(folder.path + "/private-webview-profile"));

    PaintCounter paints(GTK_WIDGET(view()));
    waitForPage();
    EXPECT_EQ(evalInPage(view(), "location.origin"), "ruvi://console");
    EXPECT_EQ(evalInPage(view(), "getComputedStyle(document.body).backgroundColor"),
              "rgb(200, 40, 30)");
    EXPECT_EQ(evalInPage(view(), "document.documentElement.dataset.ruviBridge"), "1");

    // The screen shows the page, not one flat colour. The page is shown once it has rendered a
    // frame of its own (two animation frames after load) and received its first status push,
    // and the view has painted after that; the screen is read only then.
    evalInPage(view(), "window.framesShown = false; requestAnimationFrame(() => "
                       "requestAnimationFrame(() => { window.framesShown = true; }))");
    ASSERT_TRUE(runUntil(
        [&] {
            return evalInPage(view(), "window.framesShown === true && "
                                      "window.probe.events.length > 0") == true;
        },
        kReplyCeiling));
    const int paintsBefore = paints.paints;
    gtk_widget_queue_draw(GTK_WIDGET(view()));
    ASSERT_TRUE(runUntil([&] { return paints.paints > paintsBefore; }, kReplyCeiling));
    // What the window draws is read from GTK itself: on the display the tests share, another
    // test's window mapped or raised over this one would be read instead.
    EXPECT_TRUE(runUntil([&] { return drawnColours(window) > 1; }, kReplyCeiling));
}

TEST_F(ProgramFixture, TheSchemeServesOnlyFilesOfThePageFolder) {
    start();
    waitForPage();
    const auto status = [&](const std::string& path) {
        evalInPage(view(), "window.fetched = null; fetch(" + Json(path).dump() +
                               ").then(r => { window.fetched = [r.status, "
                               "r.headers.get('content-type')]; }, () => { window.fetched = "
                               "['failed']; })");
        Json fetched;
        runUntil([&] {
            fetched = evalInPage(view(), "window.fetched");
            return !fetched.is_null();
        });
        return fetched;
    };
    EXPECT_EQ(status("ruvi://console/app.js"), Json({200, "text/javascript; charset=utf-8"}));
    EXPECT_EQ(status("ruvi://console/%73tyles.css"), Json({200, "text/css; charset=utf-8"}));
    for (const char* path :
         {"ruvi://console/missing.js", "ruvi://console/%2e%2e/request_front_test.cpp",
          "ruvi://console/..%2fshell_test_support.h", "ruvi://console/app.js%00",
          "ruvi://console/%5c..%5cshell_test_support.h"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(status(path).at(0), 404);
    }
}

TEST_F(ProgramFixture, PageRequestsGetTheirRepliesAndBadOnesIdZero) {
    start();
    waitForPage();
    const std::string stop =
        R"({"id": 5, "method": "configureRemote", "params": {"enabled": false}})";
    Json reply = sendFromPage(stop, 5);
    ASSERT_EQ(reply.at("ok"), true) << reply.dump();
    EXPECT_EQ(reply.at("result").at("enabled"), false);

    // A request sent as a JSON string is read once more.
    reply = sendFromPage(
        Json(R"({"id": 6, "method": "configureRemote", "params": {"enabled": false}})").dump(), 6);
    EXPECT_EQ(reply.at("ok"), true) << reply.dump();

    reply = sendFromPage("not json", 0);
    EXPECT_EQ(reply.at("ok"), false);
    EXPECT_FALSE(reply.at("error").get<std::string>().empty());
    reply = sendFromPage(R"({"id": "7", "method": "status"})", 0);
    EXPECT_EQ(reply, Json({{"id", 0}, {"ok", false}, {"error", "Invalid request id"}}));

    // 64 levels of nesting pass (the request itself is the first), 65 are refused.
    const auto nested = [](int levels, int id) {
        std::string inner;
        for (int k = 0; k < levels - 2; ++k) {
            inner += "[";
        }
        for (int k = 0; k < levels - 2; ++k) {
            inner += "]";
        }
        return R"({"id": )" + std::to_string(id) +
               R"(, "method": "configureRemote", "params": {"enabled": false, "deep": )" + inner +
               "}}";
    };
    reply = sendFromPage(nested(64, 8), 8);
    EXPECT_EQ(reply.at("ok"), true) << reply.dump();
    reply = sendFromPage(nested(65, 9), 0);
    EXPECT_EQ(reply, Json({{"id", 0}, {"ok", false}, {"error", "JSON nesting limit"}}));
}

TEST_F(ProgramFixture, OnlyTheTopFrameOfThePageReachesTheBridge) {
    // A loopback listener stands for "any http address": it must never see a connection.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string http = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";

    start();
    waitForPage();
    EXPECT_EQ(evalInPage(view(), "typeof (window.webkit && window.webkit.messageHandlers && "
                                 "window.webkit.messageHandlers.ruvi)"),
              "undefined");
    EXPECT_EQ(evalInPage(view(), "window.open('ruvi://console/index.html') === null"), true);
    EXPECT_EQ(evalInPage(view(), "window.open('" + http + "') === null"), true);

    // A synthetic event carries everything but trust.
    evalInPage(view(), R"(window.dispatchEvent(new MessageEvent("message", {
        data: { ruviBridge: "request",
                text: '{"id": 30, "method": "configureRemote", "params": {"enabled": false}}' },
        origin: location.origin, source: window })))");
    // A same-origin frame, and a frame to a plain http address.
    evalInPage(view(), "const f = document.createElement('iframe'); f.src = 'frame.html'; "
                       "document.body.appendChild(f); const g = "
                       "document.createElement('iframe'); g.src = '" +
                           http + "'; document.body.appendChild(g);");
    ASSERT_TRUE(
        runUntil([&] { return evalInPage(view(), "window.probe.frameLoaded === true") == true; },
                 kReplyCeiling));
    evalInPage(view(), "location.href = '" + http + "'");

    // A real request after them all is answered; none of theirs ever is.
    const Json reply = sendFromPage(
        R"({"id": 33, "method": "configureRemote", "params": {"enabled": false}})", 33);
    EXPECT_EQ(reply.at("ok"), true);
    runFor(300ms);
    const Json replies = evalInPage(view(), "window.probe.replies.map(r => r.id)");
    for (int refused : {30, 31, 32}) {
        EXPECT_EQ(std::count(replies.begin(), replies.end(), Json(refused)), 0) << refused;
    }
    EXPECT_EQ(evalInPage(view(), "location.href"), "ruvi://console/index.html");
    EXPECT_LT(::accept(listener, nullptr, nullptr), 0) << "the http address was requested";
    ::close(listener);
}

TEST_F(ProgramFixture, StatusEventsArriveTenTimesASecondOneAtATime) {
    start();
    waitForPage();
    ASSERT_TRUE(
        runUntil([&] { return evalInPage(view(), "window.probe.events.length > 0") == true; },
                 kReplyCeiling));
    runFor(300ms);
    // Two seconds of the page's own clock, closed by the first push after them: a late answer
    // to an evaluation or a late turn of the test's loop neither shortens nor lengthens the
    // window. The ticks keep their phase however late each one runs, and a push skipped while
    // the page was still busy with the last follows as soon as the page takes it, so a busy
    // machine costs pushes only when the page needs longer than a tick for most of them: at a
    // load of 17 on 8 cores, three of these tests at once still counted 20 or 21 each time.
    const std::string from = std::to_string(evalInPage(view(), "performance.now()").get<double>());
    runFor(2000ms); // the page is left alone while it is measured
    ASSERT_TRUE(runUntil(
        [&] {
            return evalInPage(view(),
                              "window.probe.events.some(e => e.at >= " + from + " + 2000)") == true;
        },
        kReplyCeiling));
    const Json times = evalInPage(view(), "window.probe.events.filter(e => e.at >= " + from +
                                              " && e.at < " + from + " + 2000).map(e => e.at)");
    ASSERT_TRUE(times.is_array());
    EXPECT_GE(times.size(), 17u);
    EXPECT_LE(times.size(), 21u);
    std::vector<double> gaps;
    for (std::size_t k = 1; k < times.size(); ++k) {
        gaps.push_back(times[k].get<double>() - times[k - 1].get<double>());
    }
    std::sort(gaps.begin(), gaps.end());
    ASSERT_FALSE(gaps.empty());
    EXPECT_NEAR(gaps[gaps.size() / 2], 100.0, 25.0);
    const Json event =
        evalInPage(view(), "window.probe.events[window.probe.events.length-1].value");
    EXPECT_EQ(event.at("event"), "status");
    EXPECT_TRUE(event.at("result").is_object());

    // A page blocked for a second gets no burst afterwards: the push in flight, the one owed
    // for the ticks it missed, and then the ticks' own.
    evalInPage(view(), "window.blockedAt = performance.now(); "
                       "while (performance.now() - window.blockedAt < 1000) {} "
                       "window.unblockedAt = performance.now();");
    ASSERT_TRUE(runUntil(
        [&] {
            return evalInPage(view(), "window.probe.events.some(e => e.at >= "
                                      "window.unblockedAt + 300)") == true;
        },
        kReplyCeiling));
    const Json afterBlock =
        evalInPage(view(), "window.probe.events.filter(e => e.at >= window.unblockedAt && "
                           "e.at < window.unblockedAt + 300).length");
    EXPECT_LE(afterBlock.get<int>(), 5);
}

TEST_F(ProgramFixture, ACrashedWebProcessGetsItsPageBack) {
    start();
    waitForPage();
    for (int crash = 0; crash < 2; ++crash) {
        SCOPED_TRACE(crash);
        evalInPage(view(), "window.beforeCrash = true");
        webkit_web_view_terminate_web_process(view());
        ASSERT_TRUE(runUntil(
            [&] {
                return evalInPage(view(), "typeof window.probe === 'object' && "
                                          "window.beforeCrash === undefined") == true;
            },
            kWebProcessCeiling));
        // The bridge is back with the page, and so are the status pushes.
        EXPECT_TRUE(
            runUntil([&] { return evalInPage(view(), "window.probe.events.length > 0") == true; },
                     kReplyCeiling));
    }
}

TEST_F(ProgramFixture, CloseWaitsForTheOutermostDialog) {
    start(false);
    struct ClosingDialogs : ScriptedDialogs {
        ShellProgram* program = nullptr;
        bool windowAliveInside = false;
        std::optional<std::string> chooseSessionToSave() override {
            program->requestClose(); // the window manager closes while the dialog runs
            windowAliveInside = !program->closed() && program->application() != nullptr;
            return std::nullopt;
        }
    } closing;
    ShellOptions o = options(false);
    o.dialogs = &closing;
    program = std::make_unique<ShellProgram>(o);
    closing.program = program.get();
    const Json reply = program->front()->localRequest({{"id", 3}, {"method", "saveSession"}});
    EXPECT_EQ(reply, Json({{"id", 3}, {"ok", true}, {"result", {{"cancelled", true}}}}));
    EXPECT_TRUE(closing.windowAliveInside);
    EXPECT_FALSE(program->closed()) << "the request that opened the dialog is still running";
    ASSERT_TRUE(runUntil([&] { return program->closed(); }, kReplyCeiling));
    EXPECT_EQ(program->application(), nullptr);
}

TEST_F(ProgramFixture, SignalsCloseThroughTheWindowsPath) {
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        start(false);
        ASSERT_FALSE(program->closed());
        ::raise(signal);
        ASSERT_TRUE(runUntil([&] { return program->closed(); }, kReplyCeiling));
        EXPECT_EQ(program->application(), nullptr);
        EXPECT_EQ(program->exitCode(), 0);
        program.reset();
    }
}

TEST_F(ProgramFixture, AnApplicationThatCannotStartIsShownAndEndsTheProgram) {
    ShellOptions o = options(false);
    o.makeApplication = []() -> std::unique_ptr<Application> {
        throw std::runtime_error("No audio endpoints could be listed");
    };
    program = std::make_unique<ShellProgram>(o);
    EXPECT_EQ(program->exitCode(), 1);
    EXPECT_EQ(dialogs.errors, std::vector<std::string>{"No audio endpoints could be listed"});
}

TEST_F(ProgramFixture, LanRequestsWaitingAtCloseAreAnsweredClosing) {
    start(false);
    // Held UI thread: three LAN calls queue up, then the window closes.
    std::vector<Json> replies(3);
    std::vector<std::thread> lan;
    for (int k = 0; k < 3; ++k) {
        lan.emplace_back([&, k] {
            replies[k] = program->submitRemoteRequest({{"id", 40 + k}, {"method", "status"}});
        });
    }
    // The calls queue up within the first second and give up only after two: the close comes
    // in the middle, a second away from either edge.
    std::this_thread::sleep_for(1000ms);
    program->requestClose();
    for (auto& t : lan) {
        t.join();
    }
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(replies[k],
                  Json({{"id", 40 + k}, {"ok", false}, {"error", "Native control closing"}}));
    }
    EXPECT_EQ(program->submitRemoteRequest({{"id", 50}, {"method", "status"}}),
              Json({{"id", 50}, {"ok", false}, {"error", "Native control is closing"}}));
    EXPECT_EQ(server.status().at("enabled"), false);
}

} // namespace
} // namespace kestravon::ruvi
