// The native request front on a real Application and a real LAN server, with scripted dialogs.

#include "shell/request_front.h"

#include "app/application.h"
#include "remote/remote_server.h"
#include "shell/remote_settings.h"
#include "shell_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

struct FrontFixture : ::testing::Test {
    std::unique_ptr<Application> app = headlessApplication();
    ScriptedDialogs dialogs;
    CountingEditorHost editors;
    RemoteServer server;
    std::vector<std::string> lanMethods;
    RequestFront front{*app,
                       dialogs,
                       editors,
                       server,
                       [this](const Json& request) {
                           // Enough of a control state for a login to be issued a token.
                           lanMethods.push_back(request.value("method", std::string()));
                           return Json{{"id", request.value("id", 0)},
                                       {"ok", true},
                                       {"result",
                                        {{"revision", 1},
                                         {"status", Json::object()},
                                         {"uiState", {{"strips", Json::array()}}}}}};
                       },
                       FrontConfig{probeWebRoot(), true}};

    Json call(const Json& request) { return front.localRequest(request); }
};

TEST_F(FrontFixture, UnreadableRequestsAreAnsweredWithIdZero) {
    const Json refused = {{"id", 0}, {"ok", false}, {"error", "Invalid request id"}};
    for (const char* text :
         {R"({"id": "1", "method": "status"})",
          R"({"id": 2147483648, "method": "configureRemote"})",
          R"({"id": -2147483649, "method": "showVstEditor"})",
          R"({"id": 0.5, "method": "saveSession"})", R"([1, 2])", R"("status")", "null"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(call(Json::parse(text)), refused);
    }
    EXPECT_EQ(dialogs.saveDialogs + dialogs.openDialogs + dialogs.wavDialogs, 0);
    // A method that is not a string is an error reply that keeps the id.
    const Json reply = call({{"id", 9}, {"method", 12}});
    EXPECT_EQ(reply.at("id"), 9);
    EXPECT_EQ(reply.at("ok"), false);
    EXPECT_FALSE(reply.at("error").get<std::string>().empty());
}

TEST_F(FrontFixture, ConfigureRemoteRefusesBadSettingsInOrder) {
    const std::string words = "Enter at least 8 characters, up to 256 UTF-8 bytes; leave blank "
                              "only to keep the enabled server on the same port";
    struct Case {
        Json params;
        std::string error;
    };
    const Case cases[] = {
        {Json::array(), "Choose whether LAN control is enabled"},
        {{{"enabled", "yes"}, {"port", 8080}}, "Choose whether LAN control is enabled"},
        {{{"enabled", true}, {"port", 1023}, {"password", "12345678"}},
         "Use a port from 1024 to 65535"},
        {{{"enabled", true}, {"port", 65536}, {"password", "12345678"}},
         "Use a port from 1024 to 65535"},
        {{{"enabled", true}, {"port", 8080.5}, {"password", "12345678"}},
         "Use a port from 1024 to 65535"},
        {{{"enabled", true}, {"port", "8080"}, {"password", "12345678"}},
         "Use a port from 1024 to 65535"},
        {{{"enabled", true}, {"password", "12345678"}}, "Use a port from 1024 to 65535"},
        {{{"enabled", true}, {"port", 8080}}, "Enter a password with at least 8 characters"},
        {{{"enabled", true}, {"port", 8080}, {"password", 12345678}},
         "Enter a password with at least 8 characters"},
        {{{"enabled", true}, {"port", 8080}, {"password", "1234567"}}, words},
        {{{"enabled", true}, {"port", 8080}, {"password", std::string(257, 'p')}}, words},
        {{{"enabled", true}, {"port", 8080}, {"password", ""}}, words},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params.dump().substr(0, 80));
        EXPECT_EQ(call({{"id", 4}, {"method", "configureRemote"}, {"params", c.params}}),
                  Json({{"id", 4}, {"ok", false}, {"error", c.error}}));
    }
    EXPECT_EQ(server.status().at("enabled"), false);
    // A LAN client cannot change the LAN settings, whatever it sends.
    EXPECT_EQ(
        call({{"id", 5},
              {"method", "configureRemote"},
              {"_remote", true},
              {"params", {{"enabled", false}}}}),
        Json({{"id", 5}, {"ok", false}, {"error", "Configure LAN control on the stage computer"}}));
}

TEST_F(FrontFixture, ConfigureRemoteRestartsKeepsAndStops) {
    const unsigned port = freeLoopbackPort();
    const std::string password(256, 'k'); // the longest accepted, in bytes
    Json reply = call({{"id", 1},
                       {"method", "configureRemote"},
                       {"params", {{"enabled", true}, {"port", port}, {"password", password}}}});
    ASSERT_EQ(reply.at("ok"), true) << reply.dump();
    EXPECT_EQ(reply.at("result").at("enabled"), true);
    EXPECT_EQ(reply.at("result").at("port"), port);
    EXPECT_EQ(reply.at("result").at("loopbackOnly"), true);

    const std::string token = curlLogin(port, password);
    ASSERT_EQ(token.size(), 64u);
    EXPECT_EQ(curlPost(port, "/api/rpc", R"({"id": 3, "method": "status"})", token).status, 200);

    // A blank password on the running port keeps the server and the token it issued.
    reply = call({{"id", 2},
                  {"method", "configureRemote"},
                  {"params", {{"enabled", true}, {"port", port}, {"password", ""}}}});
    ASSERT_EQ(reply.at("ok"), true) << reply.dump();
    EXPECT_EQ(curlPost(port, "/api/rpc", R"({"id": 4, "method": "status"})", token).status, 200);
    // ...but not on another port.
    reply = call({{"id", 3},
                  {"method", "configureRemote"},
                  {"params", {{"enabled", true}, {"port", port + 1}, {"password", ""}}}});
    EXPECT_EQ(reply.at("ok"), false);
    EXPECT_EQ(server.status().at("enabled"), true);

    // A new password restarts: the old token is gone.
    reply = call({{"id", 4},
                  {"method", "configureRemote"},
                  {"params", {{"enabled", true}, {"port", port}, {"password", "another-one"}}}});
    ASSERT_EQ(reply.at("ok"), true) << reply.dump();
    EXPECT_EQ(curlPost(port, "/api/rpc", R"({"id": 5, "method": "status"})", token).status, 401);
    EXPECT_EQ(curlLogin(port, "another-one").size(), 64u);
    EXPECT_EQ(std::count(lanMethods.begin(), lanMethods.end(), "status"), 2);

    reply = call({{"id", 5}, {"method", "configureRemote"}, {"params", {{"enabled", false}}}});
    EXPECT_EQ(reply, Json({{"id", 5}, {"ok", true}, {"result", server.status()}}));
    EXPECT_EQ(server.status().at("enabled"), false);
}

TEST_F(FrontFixture, TheEnvironmentSwitchMakesEveryEnableLoopbackOnly) {
    RequestFront open{*app,
                      dialogs,
                      editors,
                      server,
                      [](const Json&) { return Json::object(); },
                      FrontConfig{probeWebRoot()}};
    const unsigned port = freeLoopbackPort();
    const Json settings = {{"enabled", true}, {"port", port}, {"password", "12345678"}};
    ::setenv("RUVI_LAN_LOOPBACK_ONLY", "1", 1);
    const Json reply = open.localRequest({{"method", "configureRemote"}, {"params", settings}});
    ::unsetenv("RUVI_LAN_LOOPBACK_ONLY");
    ASSERT_EQ(reply.at("ok"), true) << reply.dump();
    EXPECT_EQ(reply.at("result").at("loopbackOnly"), true);
    EXPECT_FALSE(lanLoopbackOnlyFromEnvironment());
    server.disable();
}

TEST_F(FrontFixture, SessionDialogsChooseCancelAndStayLocal) {
    // Cancelled dialogs answer "cancelled" for both directions.
    EXPECT_EQ(call({{"id", 6}, {"method", "saveSession"}, {"params", Json::object()}}),
              Json({{"id", 6}, {"ok", true}, {"result", {{"cancelled", true}}}}));
    EXPECT_EQ(call({{"id", 7}, {"method", "loadSession"}}),
              Json({{"id", 7}, {"ok", true}, {"result", {{"cancelled", true}}}}));
    EXPECT_EQ(dialogs.saveDialogs, 1);
    EXPECT_EQ(dialogs.openDialogs, 1);

    // A LAN request never opens a dialog; the method set refuses it on its own.
    Json reply = call({{"id", 8}, {"method", "saveSession"}, {"_remote", true}});
    EXPECT_EQ(reply.at("ok"), false);
    reply = call({{"id", 9}, {"method", "loadSession"}, {"_remote", true}});
    EXPECT_EQ(reply.at("ok"), false);
    EXPECT_EQ(dialogs.saveDialogs, 1);
    EXPECT_EQ(dialogs.openDialogs, 1);

    // A name that is not UTF-8 is refused, not repaired into another file's name.
    TempFolder folder;
    dialogs.sessionAnswers.push_back(folder.path + "/bad\xff.kestavel");
    EXPECT_EQ(call({{"id", 10}, {"method", "saveSession"}}),
              Json({{"id", 10}, {"ok", false}, {"error", "Invalid UTF-8 file path"}}));
    EXPECT_TRUE(std::filesystem::is_empty(folder.path));
}

TEST_F(FrontFixture, SaveSessionWritesTheChosenFileWithItsExtension) {
    std::ifstream starter(std::string(RUVI_SHELL_TEST_DIR) + "/starter_session.json");
    const Json applied = call({{"method", "applySession"}, {"params", Json::parse(starter)}});
    if (coreMethodMissing(applied)) {
        GTEST_SKIP() << applied.dump();
    }
    ASSERT_EQ(applied.at("ok"), true) << applied.dump();
    TempFolder folder;
    dialogs.sessionAnswers.push_back(folder.path + "/rehearsal");
    const Json reply = call({{"id", 11}, {"method", "saveSession"}, {"params", Json::object()}});
    if (coreMethodMissing(reply)) {
        GTEST_SKIP() << reply.dump();
    }
    ASSERT_EQ(reply.at("ok"), true) << reply.dump();
    EXPECT_TRUE(std::filesystem::is_regular_file(folder.path + "/rehearsal.kestavel"));
    EXPECT_FALSE(std::filesystem::exists(folder.path + "/rehearsal"));

    // The name with the extension exists now: declining asks for another name.
    dialogs.sessionAnswers.push_back(folder.path + "/rehearsal");
    dialogs.sessionAnswers.push_back(folder.path + "/second.kestavel");
    dialogs.replaceAnswers.push_back(false);
    const Json second = call({{"id", 12}, {"method", "saveSession"}});
    ASSERT_EQ(second.at("ok"), true) << second.dump();
    EXPECT_EQ(dialogs.replaceQuestions,
              std::vector<std::string>{folder.path + "/rehearsal.kestavel"});
    EXPECT_TRUE(std::filesystem::is_regular_file(folder.path + "/second.kestavel"));
}

TEST_F(FrontFixture, PlaybackDialogAcceptsAtMost128Files) {
    EXPECT_EQ(call({{"id", 13}, {"method", "loadPlayback"}}),
              Json({{"id", 13}, {"ok", true}, {"result", {{"cancelled", true}}}}));

    TempFolder folder;
    std::vector<std::string> many;
    for (int k = 0; k < 129; ++k) {
        many.push_back(folder.path + "/lane" + std::to_string(k) + ".wav");
    }
    dialogs.wavAnswers.push_back(many);
    EXPECT_EQ(call({{"id", 14}, {"method", "loadPlayback"}, {"params", Json::object()}}),
              Json({{"id", 14}, {"ok", false}, {"error", "Select at most 128 WAV files"}}));
    EXPECT_FALSE(app->jobRunning());
    EXPECT_FALSE(front.jobReplyArmed());

    dialogs.wavAnswers.push_back(std::vector<std::string>{folder.path + "/\xc3\x28.wav"});
    EXPECT_EQ(call({{"id", 15}, {"method", "loadPlayback"}}),
              Json({{"id", 15}, {"ok", false}, {"error", "Invalid UTF-8 file path"}}));

    many.pop_back();
    dialogs.wavAnswers.push_back(many);
    const Json reply = call({{"id", 16}, {"method", "loadPlayback"}});
    if (coreMethodMissing(reply) || !reply.contains("ok")) {
        GTEST_SKIP() << reply.dump();
    }
    ASSERT_EQ(reply.at("ok"), true) << reply.dump();
    EXPECT_EQ(reply.at("result").at("pending"), true);
    EXPECT_TRUE(front.jobReplyArmed());
    EXPECT_TRUE(front.pageOwnsJob());
    EXPECT_EQ(dialogs.wavDialogs, 4);
}

TEST_F(FrontFixture, TheLanStatusJoinsThreeReplies) {
    const Json capabilities = call({{"id", 1}, {"method", "capabilities"}});
    const Json status = call({{"id", 2}, {"method", "status"}});
    const Json state = call({{"id", 3}, {"method", "getControlState"}, {"params", {{"after", 0}}}});
    if (coreMethodMissing(capabilities) || coreMethodMissing(status) || coreMethodMissing(state)) {
        GTEST_SKIP() << "control core methods still missing";
    }
    EXPECT_EQ(capabilities.at("result").at("remote"), true);
    EXPECT_EQ(status.at("result").at("remote"), server.status());
    EXPECT_EQ(state.at("result").at("status").at("remote"), server.status());
    const Json event = front.statusEvent();
    EXPECT_EQ(event.at("event"), "status");
    EXPECT_EQ(event.at("result").at("status").at("remote").at("enabled"), false);
    // The tick's text form writes the same bytes, without and with a UI document.
    EXPECT_EQ(front.statusEventText(), front.statusEvent().dump());
    std::ifstream starter(std::string(RUVI_SHELL_TEST_DIR) + "/starter_session.json");
    const Json applied = call({{"method", "applySession"}, {"params", Json::parse(starter)}});
    ASSERT_EQ(applied.at("ok"), true) << applied.dump();
    const Json withUi = front.statusEvent();
    ASSERT_TRUE(withUi.at("result").contains("uiState"));
    EXPECT_EQ(front.statusEventText(), withUi.dump());
    EXPECT_EQ(front.statusEventText(), withUi.dump()) << "from the kept text";
}

TEST_F(FrontFixture, EditorRequestsThatCannotOpenLeaveNoWindow) {
    struct Case {
        Json request;
        std::string error; // empty: the json library's text
    };
    const Case cases[] = {
        {{{"id", 1},
          {"method", "showVstEditor"},
          {"_remote", true},
          {"params", {{"nodeId", "in1"}, {"slotId", "a"}}}},
         "Use Parameters on remote devices; native editor opens on the stage computer"},
        {{{"id", 1}, {"method", "showVstEditor"}}, ""},
        {{{"id", 1}, {"method", "showVstEditor"}, {"params", {{"nodeId", "in1"}}}}, ""},
        {{{"id", 1}, {"method", "showVstEditor"}, {"params", {{"nodeId", 3}, {"slotId", "a"}}}},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.dump());
        const Json reply = call(c.request);
        EXPECT_EQ(reply.at("ok"), false);
        EXPECT_EQ(reply.at("id"), 1);
        if (!c.error.empty()) {
            EXPECT_EQ(reply.at("error"), c.error);
        }
    }
    EXPECT_EQ(editors.created, 0);
    EXPECT_EQ(editors.destroyed, 0) << "the user's open editor must stay";

    // While a file job runs the editor waits, and no window is made.
    TempFolder folder;
    writeWav(folder.path + "/a.wav", 48000, 1, 48000);
    const Json started = call(
        {{"id", 2}, {"method", "loadPlayback"}, {"params", {{"paths", {folder.path + "/a.wav"}}}}});
    if (coreMethodMissing(started) || !app->jobRunning()) {
        GTEST_SKIP() << started.dump();
    }
    EXPECT_EQ(call({{"id", 3},
                    {"method", "showVstEditor"},
                    {"params", {{"nodeId", "in1"}, {"slotId", "a"}}}}),
              Json({{"id", 3},
                    {"ok", false},
                    {"error", "Wait for the file operation before opening a plugin editor"}}));
    EXPECT_EQ(editors.created, 0);
    EXPECT_EQ(editors.destroyed, 0);
}

} // namespace
} // namespace kestravon::ruvi
