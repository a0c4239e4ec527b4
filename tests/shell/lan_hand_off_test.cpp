// LAN calls end to end on loopback: curl, the real LAN server, the hand-off, the UI thread's
// loop and the front on a real Application.

#include "app/application.h"
#include "gtk_test_support.h"
#include "remote/remote_server.h"
#include "shell/request_front.h"
#include "shell/shell_program.h"
#include "shell_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

struct LanFixture : ::testing::Test {
    TempFolder folder;
    ScriptedDialogs dialogs;
    RemoteServer server;
    std::unique_ptr<ShellProgram> program;
    unsigned port = 0;
    std::string token;

    void SetUp() override {
        ASSERT_TRUE(gtkReady());
        ShellOptions o;
        o.folder = folder.path;
        o.webRoot = probeWebRoot();
        o.webView = false;
        o.makeApplication = [] { return headlessApplication(); };
        o.dialogs = &dialogs;
        o.server = &server;
        program = std::make_unique<ShellProgram>(o);
        RequestFront& front = *program->front();
        port = freeLoopbackPort();
        const Json reply = front.localRequest(
            {{"method", "configureRemote"},
             {"params", {{"enabled", true}, {"port", port}, {"password", "lan-secret"}}}});
        ASSERT_EQ(reply.at("ok"), true) << reply.dump();
    }

    void TearDown() override { program.reset(); }

    // Runs curl on a thread while this thread runs the UI loop.
    template <class Call> auto whileLooping(Call call) {
        decltype(call()) result{};
        std::atomic<bool> done{false};
        std::thread client([&] {
            result = call();
            done.store(true);
        });
        // The ceiling is for a client that never ends; a slow one only takes longer.
        runUntil([&] { return done.load(); }, 60s);
        client.join();
        return result;
    }

    // A token needs an applied session (the login asks for the shared state).
    bool login() {
        std::ifstream starter(std::string(RUVI_SHELL_TEST_DIR) + "/starter_session.json");
        const Json session = Json::parse(starter);
        const Json applied =
            program->front()->localRequest({{"method", "applySession"}, {"params", session}});
        const Json state = program->front()->localRequest(
            {{"method", "getControlState"}, {"params", {{"after", 0}}}});
        if (coreMethodMissing(applied) || coreMethodMissing(state)) {
            return false;
        }
        EXPECT_EQ(applied.at("ok"), true) << applied.dump();
        token = whileLooping([&] { return curlLogin(port, "lan-secret"); });
        return token.size() == 64;
    }
};

TEST_F(LanFixture, StatusRunsOnTheUiThreadAndCarriesTheLanStatus) {
    if (!login()) {
        GTEST_SKIP() << "the control core cannot give a session state yet";
    }
    const CurlReply reply = whileLooping(
        [&] { return curlPost(port, "/api/rpc", R"({"id": 12, "method": "status"})", token); });
    ASSERT_EQ(reply.status, 200);
    const Json body = Json::parse(reply.body);
    EXPECT_EQ(body.at("id"), 12);
    ASSERT_EQ(body.at("ok"), true) << reply.body;
    EXPECT_EQ(body.at("result").at("remote").at("enabled"), true);
    EXPECT_EQ(body.at("result").at("remote").at("port"), port);
}

TEST_F(LanFixture, AHeldUiThreadAnswersBusyRetry) {
    if (!login()) {
        GTEST_SKIP() << "the control core cannot give a session state yet";
    }
    CurlReply reply;
    std::thread client(
        [&] { reply = curlPost(port, "/api/rpc", R"({"id": 13, "method": "status"})", token); });
    std::this_thread::sleep_for(3s); // the UI thread is busy with something long
    client.join();
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(Json::parse(reply.body),
              Json({{"id", 13}, {"ok", false}, {"error", "Native control busy; retry"}}));
    // The loop comes back and finds only the abandoned entry; the next call works again.
    runFor(200ms);
    const CurlReply next = whileLooping(
        [&] { return curlPost(port, "/api/rpc", R"({"id": 14, "method": "status"})", token); });
    EXPECT_EQ(Json::parse(next.body).at("id"), 14);
    EXPECT_EQ(Json::parse(next.body).at("ok"), true);
}

} // namespace
} // namespace kestravon::ruvi
