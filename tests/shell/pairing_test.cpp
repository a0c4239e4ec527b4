// The pairing hand-off at start-up, through the program with scripted boxes and its own LAN
// server on loopback.

#include "shell/pairing.h"
#include "shell/request_front.h"

#include "app/application.h"
#include "gtk_test_support.h"
#include "remote/remote_server.h"
#include "shell/shell_program.h"
#include "shell_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kGeneric = "LAN pairing failed. Use local System settings.";

struct PairingFixture : ::testing::Test {
    TempFolder folder;
    ScriptedDialogs dialogs;
    RemoteServer server;
    std::unique_ptr<ShellProgram> program;

    void SetUp() override {
        ASSERT_TRUE(gtkReady());
        ::setenv("RUVI_LAN_LOOPBACK_ONLY", "1", 1);
    }
    void TearDown() override {
        program.reset();
        ::unsetenv("RUVI_LAN_LOOPBACK_ONLY");
    }

    std::string bootstrapPath() const { return folder.path + "/" + kPairingBootstrapFile; }
    std::string sessionPath() const { return folder.path + "/" + kPairingSessionFile; }

    void write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    void start() {
        ShellOptions o;
        o.folder = folder.path;
        o.webRoot = probeWebRoot();
        o.webView = false;
        o.makeApplication = [] { return headlessApplication(); };
        o.dialogs = &dialogs;
        o.server = &server;
        program = std::make_unique<ShellProgram>(o);
    }
};

TEST_F(PairingFixture, NoBootstrapMeansNothingHappens) {
    start();
    EXPECT_TRUE(dialogs.errors.empty());
    EXPECT_EQ(server.status().at("enabled"), false);
}

TEST_F(PairingFixture, FailuresShowOneBoxAndLeaveNoPasswordOnDisk) {
    struct Case {
        std::string bootstrap;
        std::string session; // empty: no session file
        std::string box;
        bool bootstrapKept;
    };
    const std::string port = std::to_string(freeLoopbackPort());
    const std::string good =
        R"({"enabled": true, "port": )" + port + R"(, "password": "pairing-secret"})";
    std::string oversized = good;
    oversized.resize(1025, ' ');
    std::string deep(65, '[');
    deep += std::string(65, ']');
    const Case cases[] = {
        // Checked for size before reading: the file stays.
        {oversized, "", kGeneric, true},
        // Read and deleted before parsing.
        {R"({"enabled": true, "password": "pairing-secret")", "", kGeneric, false},
        {deep, "", kGeneric, false},
        // A session the control core refuses ends the hand-off before the LAN settings.
        {good, R"({"native": "not a session"})", kGeneric, false},
        {good, "{ not json", kGeneric, false},
        // The LAN settings' own refusal has its own box.
        {R"({"enabled": true, "port": )" + port + R"(, "password": "1234567"})", "",
         "Enter at least 8 characters, up to 256 UTF-8 bytes; leave blank only to keep the "
         "enabled server on the same port",
         false},
        {R"({"enabled": true, "port": 80, "password": "pairing-secret"})", "",
         "Use a port from 1024 to 65535", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bootstrap.substr(0, 60) + " | " + c.session);
        dialogs.errors.clear();
        write(bootstrapPath(), c.bootstrap);
        if (!c.session.empty()) {
            write(sessionPath(), c.session);
        }
        start();
        EXPECT_EQ(dialogs.errors, std::vector<std::string>{c.box});
        EXPECT_EQ(fs::exists(bootstrapPath()), c.bootstrapKept);
        EXPECT_FALSE(fs::exists(sessionPath()));
        EXPECT_EQ(server.status().at("enabled"), false);
        program.reset();
        fs::remove(bootstrapPath());
    }
}

TEST_F(PairingFixture, ABootstrapAloneEnablesTheLan) {
    const unsigned port = freeLoopbackPort();
    write(bootstrapPath(),
          Json({{"enabled", true}, {"port", port}, {"password", "pairing-secret"}}).dump());
    start();
    EXPECT_TRUE(dialogs.errors.empty()) << dialogs.errors.front();
    EXPECT_FALSE(fs::exists(bootstrapPath()));
    const Json status = server.status();
    EXPECT_EQ(status.at("enabled"), true);
    EXPECT_EQ(status.at("port"), port);
    EXPECT_EQ(status.at("loopbackOnly"), true);
}

TEST_F(PairingFixture, ABootstrapWithAStarterSessionPairsALanClient) {
    const unsigned port = freeLoopbackPort();
    write(bootstrapPath(),
          Json({{"enabled", true}, {"port", port}, {"password", "pairing-secret"}}).dump());
    std::ifstream starter(std::string(RUVI_SHELL_TEST_DIR) + "/starter_session.json");
    write(sessionPath(), std::string(std::istreambuf_iterator<char>(starter), {}));
    start();
    EXPECT_FALSE(fs::exists(bootstrapPath()));
    EXPECT_FALSE(fs::exists(sessionPath()));
    if (!dialogs.errors.empty()) {
        // Until the control core applies sessions, the hand-off stops at the session.
        const Json probe = program->front()->localRequest(
            {{"method", "applySession"}, {"params", Json::object()}});
        if (coreMethodMissing(probe)) {
            GTEST_SKIP() << "applySession still missing";
        }
        FAIL() << dialogs.errors.front();
    }
    const Json state =
        program->front()->localRequest({{"method", "getControlState"}, {"params", {{"after", 0}}}});
    if (coreMethodMissing(state)) {
        GTEST_SKIP() << "getControlState still missing";
    }
    EXPECT_EQ(state.at("result").at("revision"), 1);
    EXPECT_EQ(server.status().at("enabled"), true);

    // The login asks the UI thread for the control state: run the loop while curl waits.
    std::string token;
    std::atomic<bool> done{false};
    std::thread client([&] {
        token = curlLogin(port, "pairing-secret");
        done.store(true);
    });
    runUntil([&] { return done.load(); }, 60s); // a ceiling for a client that never ends
    client.join();
    EXPECT_EQ(token.size(), 64u);
}

} // namespace
} // namespace kestravon::ruvi
