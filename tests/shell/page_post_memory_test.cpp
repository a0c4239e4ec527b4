// The program's memory under the display-rate posts to the page: thousands of status events and
// replies through the real web view, and an hour's worth of status ticks of a 32-strip console
// run as fast as the page takes them, must leave the heap and the resident size where they were
// once warm. A post that keeps a copy of its text grows by the text's size every time, which
// is a hundred times the bounds below.

#include "shell/shell_program.h"

#include "app/application.h"
#include "audio/endpoint_catalogue.h"
#include "audio/virtual_endpoints.h"
#include "gtk_test_support.h"
#include "remote/remote_server.h"
#include "shell/request_front.h"
#include "shell/web_view_host.h"
#include "shell_test_support.h"

#include <cstddef>
#include <gtk/gtk.h>
#include <malloc.h>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define RUVI_SANITIZED_HEAP 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define RUVI_SANITIZED_HEAP 1
#endif
#ifdef RUVI_SANITIZED_HEAP
// The sanitizer runtimes' own count of live heap bytes (g++ ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

constexpr double kMiB = 1024.0 * 1024.0;
// Growth allowed once warm. A leak of one ~23 KB status text per post passes the heap bound
// within 700 posts; the runs below post many thousands.
constexpr double kHeapBoundMiB = 16;
constexpr double kRssBoundMiB = 48;

struct Memory {
    double heapMiB = 0; // bytes the allocator has handed out and not had back
    double rssMiB = 0;
};

Memory memoryNow() {
    Memory m;
#ifdef RUVI_SANITIZED_HEAP
    // A sanitizer's allocator replaces malloc's: it counts the live bytes itself.
    m.heapMiB = static_cast<double>(__sanitizer_get_current_allocated_bytes()) / kMiB;
#else
    const struct mallinfo2 info = mallinfo2();
    m.heapMiB = static_cast<double>(info.uordblks + info.hblkhd) / kMiB;
#endif
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    m.rssMiB = static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / kMiB;
    return m;
}

void expectFlat(const Memory& warm, const Memory& now, const std::string& when) {
    EXPECT_LT(now.heapMiB - warm.heapMiB, kHeapBoundMiB)
        << when << ": heap " << warm.heapMiB << " -> " << now.heapMiB << " MiB";
#ifndef RUVI_SANITIZED_HEAP
    // Under a sanitizer freed blocks wait in its quarantine (hundreds of MiB) before they are
    // reused, so the resident size grows by design there; the live heap above still counts.
    EXPECT_LT(now.rssMiB - warm.rssMiB, kRssBoundMiB)
        << when << ": RSS " << warm.rssMiB << " -> " << now.rssMiB << " MiB";
#endif
}

// A page that only counts what the bridge posts, so that its own memory stays small too.
void writeCountingPage(const std::string& folder) {
    std::ofstream(folder + "/index.html")
        << "<!doctype html><html><head><meta charset=\"utf-8\"></head><body>"
           "<script src=\"app.js\"></script></body></html>";
    std::ofstream(folder + "/app.js")
        << "window.counts = { event: 0, reply: 0, lastLength: 0 };\n"
           "window.addEventListener('message', (e) => {\n"
           "  if (e.source !== window || !e.data || typeof e.data.text !== 'string') return;\n"
           "  const kind = e.data.ruviBridge;\n"
           "  if (kind !== 'event' && kind !== 'reply') return;\n"
           "  window.counts[kind] += 1;\n"
           "  window.counts.lastLength = e.data.text.length;\n"
           "});\n";
}

bool pageReady(WebKitWebView* view) {
    return runUntil(
        [&] {
            return evalInPage(view, "document.readyState === 'complete' && "
                                    "typeof window.counts === 'object' && "
                                    "document.documentElement.hasAttribute('data-ruvi-bridge')") ==
                   Json(true);
        },
        20s);
}

// About the size of a 32-strip console's status event.
std::string statusLikeText() {
    Json meters = Json::array();
    for (int i = 1; i <= 32; ++i) {
        meters.push_back({{"nodeId", "in" + std::to_string(i)},
                          {"peakL", 0.25},
                          {"peakR", 0.25},
                          {"rmsL", 0.1},
                          {"rmsR", 0.1},
                          {"gainReductionDb", 0.0},
                          {"gateOpen", true}});
    }
    const Json event = {
        {"event", "status"},
        {"result",
         {{"meters", meters}, {"uiState", {{"notes", std::string(18000, 'n')}}}, {"revision", 3}}}};
    return event.dump();
}

TEST(PagePostMemorySlow, ThousandsOfStatusEventsAndRepliesLeaveTheHeapFlat) {
    ASSERT_TRUE(gtkReady()) << "no X display";
    TempFolder page;
    TempFolder profile;
    writeCountingPage(page.path);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 400, 300);
    auto host =
        std::make_unique<WebViewHost>(window, page.path, profile.path, [](const std::string&) {});
    gtk_widget_show_all(window);
    ASSERT_TRUE(pageReady(host->view()));

    const std::string text = statusLikeText();
    const Json reply = {{"id", 9}, {"ok", true}, {"result", {{"notes", std::string(4000, 'r')}}}};
    int posted = 0;
    int replies = 0;
    // Each status event waits for the one before, as the tick does; a reply rides along every
    // tenth time.
    const auto post = [&](int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(host->postStatusEventText(text));
            if (posted % 10 == 0) {
                host->postReply(reply);
                ++replies;
            }
            ++posted;
            ASSERT_TRUE(runUntil([&] { return !host->statusInFlight(); }, 30s))
                << "status event " << posted << " never completed";
        }
    };
    post(1000);
    const Memory warm = memoryNow();
    for (int round = 1; round <= 4; ++round) {
        post(2000);
        expectFlat(warm, memoryNow(), "after " + std::to_string(posted) + " posts");
        if (::testing::Test::HasFailure()) {
            break;
        }
    }
    std::printf("%d posts of %zu bytes: heap %.1f -> %.1f MiB, RSS %.1f -> %.1f MiB\n", posted,
                text.size(), warm.heapMiB, memoryNow().heapMiB, warm.rssMiB, memoryNow().rssMiB);

    // Every post reached the page whole.
    ASSERT_TRUE(runUntil(
        [&] {
            return evalInPage(host->view(), "window.counts.event + window.counts.reply") ==
                   Json(posted + replies);
        },
        20s));
    EXPECT_EQ(evalInPage(host->view(), "window.counts.event"), Json(posted));

    host->detach();
    gtk_widget_destroy(window);
    host.reset();
    runFor(50ms);
}

TEST(PagePostMemorySlow, AnHourOfStatusTicksOfA32StripConsoleLeavesTheHeapFlat) {
    ASSERT_TRUE(gtkReady()) << "no X display";
    TempFolder folder;
    TempFolder page;
    writeCountingPage(page.path);

    // The demo console of 32 strips, as the soak and the run script make it.
    const std::string sessionPath = folder.path + "/demo-session.json";
    const std::string command = std::string("node '") + RUVI_SOURCE_DIR +
                                "/web/tools/demo-session.mjs' '" + sessionPath +
                                "' --strips 32 >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(sessionPath);
    std::stringstream sessionText;
    sessionText << in.rdbuf();
    const Json session = Json::parse(sessionText.str());
    ASSERT_EQ(session.at("uiState").at("channels").size(), 32U);

    ScriptedDialogs dialogs;
    RemoteServer server;
    ShellOptions options;
    options.folder = folder.path;
    options.webRoot = page.path;
    // The program's own virtual endpoints: the test tone and the output the session names.
    options.makeApplication = [] {
        return std::make_unique<Application>(
            std::make_shared<EndpointCatalogue>(std::vector<std::shared_ptr<AudioEndpointProvider>>{
                VirtualEndpointSet::makeDefault()}));
    };
    options.dialogs = &dialogs;
    options.server = &server;
    auto program = std::make_unique<ShellProgram>(std::move(options));
    ASSERT_NE(program->webView(), nullptr);
    ASSERT_TRUE(pageReady(program->webView()));
    const Json applied = program->front()->localRequest(
        {{"id", 1}, {"method", "applySession"}, {"params", session}});
    ASSERT_EQ(applied.value("ok", false), true) << applied.dump();
    // Audio running, as on stage: the meters move and the backend reports every tick.
    Json device = session.at("uiState").at("device");
    device.erase("autoStart");
    const Json started =
        program->front()->localRequest({{"id", 2}, {"method", "startAudio"}, {"params", device}});
    ASSERT_EQ(started.value("ok", false), true) << started.dump();
    ASSERT_TRUE(runUntil(
        [&] {
            program->tick();
            const Json status = program->front()->statusEvent().at("result");
            return status.contains("status") &&
                   status["status"].value("audio", Json::object()).value("running", false);
        },
        30s))
        << program->front()->statusEvent().dump();
    const std::size_t statusBytes = program->front()->statusEventText().size();
    EXPECT_GT(statusBytes, 10000U) << "the status of 32 strips should weigh like the stage's";

    // An hour of status events at ten a second.
    constexpr int kTicks = 36000;
    int ticks = 0;
    const auto run = [&](int count) {
        for (int i = 0; i < count; ++i, ++ticks) {
            program->tick();
            ASSERT_TRUE(runUntil([&] { return !program->statusInFlight(); }, 30s))
                << "status event of tick " << ticks << " never completed";
        }
    };
    run(2000);
    const Memory warm = memoryNow();
    while (ticks < kTicks && !::testing::Test::HasFailure()) {
        run(2000);
        expectFlat(warm, memoryNow(), "after " + std::to_string(ticks) + " ticks");
    }
    std::printf("%d ticks, status %zu bytes: heap %.1f -> %.1f MiB, RSS %.1f -> %.1f MiB\n", ticks,
                statusBytes, warm.heapMiB, memoryNow().heapMiB, warm.rssMiB, memoryNow().rssMiB);
    const Json events = evalInPage(program->webView(), "window.counts.event");
    ASSERT_TRUE(events.is_number_integer());
    // The timer's own ticks may have posted a few more; none of the driven ones went missing.
    EXPECT_GE(events.get<int>(), ticks);

    program.reset();
    runFor(50ms);
}

} // namespace
} // namespace kestravon::ruvi
