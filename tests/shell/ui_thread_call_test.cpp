// The UI-thread wake on GLib's default main context. Not under tsan: it cannot see GLib's own
// synchronisation.

#include "shell/pending_queue.h"
#include "shell/ui_thread_call.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

// The LAN may be enabled (by pairing) before the loop runs: a request queued then waits for the
// loop and runs on its thread, never on the LAN thread that submitted it.
TEST(UiThreadWake, DrainWaitsForTheLoopAndRunsOnItsThread) {
    const auto uiThread = std::this_thread::get_id();
    PendingQueue* queuePointer = nullptr;
    std::atomic<int> ran{0};
    std::atomic<bool> ranOnUiThread{false};
    PendingQueue queue([&] {
        callOnUiThread([&] {
            queuePointer->drain([&](const Json& r) {
                ran.fetch_add(1);
                ranOnUiThread.store(std::this_thread::get_id() == uiThread);
                return Json{{"id", r.at("id")}, {"ok", true}, {"result", r.at("_remote")}};
            });
        });
    });
    queuePointer = &queue;

    Json reply;
    std::atomic<bool> done{false};
    std::thread lan([&] {
        reply = queue.submit({{"id", 4}, {"method", "status"}});
        done.store(true);
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(ran.load(), 0) << "no loop runs yet, so nothing may have run";

    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    std::pair<std::atomic<bool>*, GMainLoop*> quitWhenDone(&done, loop);
    g_timeout_add(
        20,
        [](gpointer data) -> gboolean {
            auto* pair = static_cast<std::pair<std::atomic<bool>*, GMainLoop*>*>(data);
            if (pair->first->load()) {
                g_main_loop_quit(pair->second);
                return G_SOURCE_REMOVE;
            }
            return G_SOURCE_CONTINUE;
        },
        &quitWhenDone);
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    lan.join();

    EXPECT_EQ(ran.load(), 1);
    EXPECT_TRUE(ranOnUiThread.load());
    EXPECT_EQ(reply, Json({{"id", 4}, {"ok", true}, {"result", true}}));
}

} // namespace
} // namespace kestravon::ruvi
