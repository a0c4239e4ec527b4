// Background jobs through the program: collection without a page, the one-shot delivery of a
// page-started job's reply, and a close while a long load runs with LAN calls waiting.

#include "app/application.h"
#include "gtk_test_support.h"
#include "remote/remote_server.h"
#include "shell/request_front.h"
#include "shell/shell_program.h"
#include "shell_test_support.h"

#include <webkit2/webkit2.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

struct JobFixture : ::testing::Test {
    TempFolder folder;
    ScriptedDialogs dialogs;
    RemoteServer server;
    std::unique_ptr<ShellProgram> program;

    void SetUp() override { ASSERT_TRUE(gtkReady()); }
    void TearDown() override { program.reset(); }

    void start(bool webView) {
        ShellOptions o;
        o.folder = folder.path;
        o.webRoot = probeWebRoot();
        o.webView = webView;
        o.makeApplication = [] { return headlessApplication(); };
        o.dialogs = &dialogs;
        o.server = &server;
        program = std::make_unique<ShellProgram>(o);
    }

    Json wavPaths(int count, std::uint32_t rate, std::uint32_t frames) {
        Json paths = Json::array();
        for (int k = 0; k < count; ++k) {
            const std::string path = folder.path + "/lane" + std::to_string(k) + ".wav";
            writeWav(path, rate, 1, frames);
            paths.push_back(path);
        }
        return paths;
    }
};

TEST_F(JobFixture, WithoutAWebViewJobsAreStillCollected) {
    start(false);
    ASSERT_EQ(program->webView(), nullptr);
    const Json reply =
        program->front()->localRequest({{"id", 21},
                                        {"method", "loadPlayback"},
                                        {"params", {{"paths", wavPaths(1, 48000, 4800)}}}});
    if (coreMethodMissing(reply)) {
        GTEST_SKIP() << reply.dump();
    }
    ASSERT_EQ(reply.at("result").at("pending"), true) << reply.dump();
    ASSERT_TRUE(program->application()->jobRunning());
    // A tenth of a second of audio: only a job that is never collected reaches the ceiling.
    EXPECT_TRUE(runUntil([&] { return !program->application()->jobRunning(); }, 30s));
}

TEST_F(JobFixture, APageStartedJobPostsItsReplyOnceALanStartedOneNever) {
    start(true);
    ASSERT_NE(program->webView(), nullptr);
    ASSERT_TRUE(runUntil(
        [&] { return evalInPage(program->webView(), "typeof window.probe === 'object'") == true; },
        60s));
    const Json request = {
        {"id", 22}, {"method", "loadPlayback"}, {"params", {{"paths", wavPaths(1, 48000, 4800)}}}};
    evalInPage(program->webView(), "window.probeSend(" + Json(request.dump()).dump() + ")");
    ASSERT_TRUE(runUntil(
        [&] {
            return evalInPage(program->webView(),
                              "window.probe.replies.filter(r => r.id === 22).length") != 0 ||
                   program->application()->jobRunning();
        },
        30s));
    const Json early =
        evalInPage(program->webView(), "window.probe.replies.filter(r => r.id === 22)");
    if (!early.empty() && coreMethodMissing(early[0])) {
        GTEST_SKIP() << early.dump();
    }
    // A short job may already be collected by the tick, so its final reply can be there; what
    // must never reach the page is the pending answer.
    for (const Json& r : early) {
        EXPECT_FALSE(r.contains("result") && r["result"].is_object() &&
                     r["result"].value("pending", false))
            << "a started job gets no pending reply: " << early.dump();
    }
    ASSERT_TRUE(runUntil([&] { return !program->application()->jobRunning(); }, 30s));
    // The collected job's reply is on its way to the page: wait for it, then give a second
    // one the time to show up.
    ASSERT_TRUE(runUntil(
        [&] {
            return evalInPage(program->webView(),
                              "window.probe.replies.filter(r => r.id === 22).length") != 0;
        },
        30s));
    runFor(500ms);
    const Json replies =
        evalInPage(program->webView(), "window.probe.replies.filter(r => r.id === 22)");
    ASSERT_EQ(replies.size(), 1u) << replies.dump();
    // Its outcome is the control core's; the delivery (once, to the page) is the shell's.
    if (!coreMethodMissing(replies[0])) {
        EXPECT_EQ(replies[0].at("ok"), true) << replies.dump();
    }

    // A job a LAN client started (a stop job needs no audio): its reply never reaches the page.
    const Json lan = program->front()->localRequest(
        {{"id", 23}, {"method", "stopRecording"}, {"_remote", true}});
    ASSERT_EQ(lan.at("ok"), true) << lan.dump();
    EXPECT_FALSE(program->front()->pageOwnsJob());
    ASSERT_TRUE(runUntil([&] { return !program->application()->jobRunning(); }, 30s));
    runFor(300ms);
    EXPECT_EQ(
        evalInPage(program->webView(), "window.probe.replies.filter(r => r.id === 23).length"), 0);
}

TEST_F(JobFixture, ClosingDuringALongLoadAnswersWaitingLanCallsAndCancels) {
    start(false);
    const Json probe = program->front()->localRequest(
        {{"method", "loadPlayback"}, {"params", {{"paths", Json::array()}}}});
    if (coreMethodMissing(probe)) {
        GTEST_SKIP() << probe.dump();
    }
    // Enough audio at another rate that the load runs well past the close.
    const Json paths = wavPaths(16, 44100, 44100 * 60);
    const Json reply = program->front()->localRequest(
        {{"id", 24}, {"method", "loadPlayback"}, {"params", {{"paths", paths}}}});
    if (coreMethodMissing(reply)) {
        GTEST_SKIP() << reply.dump();
    }
    ASSERT_EQ(reply.at("result").at("pending"), true) << reply.dump();
    const unsigned port = freeLoopbackPort();
    ASSERT_EQ(program->front()
                  ->localRequest(
                      {{"method", "configureRemote"},
                       {"params", {{"enabled", true}, {"port", port}, {"password", "close-test"}}}})
                  .at("ok"),
              true);
    std::vector<Json> replies(3);
    std::vector<std::thread> lan;
    for (int k = 0; k < 3; ++k) {
        lan.emplace_back([&, k] {
            replies[k] = program->submitRemoteRequest({{"id", 60 + k}, {"method", "status"}});
        });
    }
    // The calls queue up within the first second and give up only after two: the close comes
    // in the middle, a second away from either edge.
    std::this_thread::sleep_for(1000ms);
    const auto closeStart = std::chrono::steady_clock::now();
    program->requestClose();
    EXPECT_TRUE(program->closed());
    // The close cancels the load and waits for its current chunk, not for the whole minute of
    // audio at another rate: on a busy machine that is a fraction of a second, far from 5 s.
    EXPECT_LT(std::chrono::steady_clock::now() - closeStart, 5s);
    for (auto& t : lan) {
        t.join();
    }
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(replies[k],
                  Json({{"id", 60 + k}, {"ok", false}, {"error", "Native control closing"}}));
    }
    EXPECT_EQ(server.status().at("enabled"), false);
    EXPECT_EQ(program->application(), nullptr);
}

} // namespace
} // namespace kestravon::ruvi
