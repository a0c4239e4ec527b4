// Shared-document patches from a LAN client, end to end on loopback: the real LAN server, a real
// WebSocket client (python websockets) and a headless Application answering on this thread, as
// the stage computer's UI thread does. A patch may only say what the console already defines:
// padded or oversized ones are refused, change nothing, and the state pushes go on.

#include "app/application_impl.h"
#include "remote/remote_server.h"

#include "tests/app/app_test_support.h"
#include "tests/app/live_session_fixture.h"
#include "tests/app/session_test_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kestravon::ruvi {
namespace {

using testing::HeadlessConsole;
using testing::Json;
using namespace std::chrono_literals;

constexpr const char* kPassword = "lan-patch-secret";

// Output of a command run to its end.
std::string commandOutput(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, got);
    }
    ::pclose(pipe);
    return output;
}

// The LAN server in front of one Application. Calls from the server's threads wait in a queue
// that `serveWhile` answers on the test's thread, marked "_remote" as the shell marks them.
class LanConsole {
public:
    explicit LanConsole(Application& app) : app_(app) {}
    ~LanConsole() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
            for (auto& call : queue_) {
                call->reply.set_value({{"ok", false}, {"error", "Native control closing"}});
            }
            queue_.clear();
        }
        server_.disable();
    }

    bool start(std::string& error) {
        const std::string webRoot = std::string(RUVI_SOURCE_DIR) + "/ui";
        return server_.enable(
            webRoot, kPassword, 0, [this](const Json& request) { return submit(request); }, error,
            true);
    }
    unsigned port() const { return server_.status().at("port").get<unsigned>(); }

    // Runs `client` on a thread of its own and answers the server's calls until it is done.
    std::string serveWhile(const std::function<std::string()>& client) {
        std::promise<std::string> result;
        auto done = result.get_future();
        std::thread thread([&] { result.set_value(client()); });
        // A generous ceiling only a hang reaches; the client's own reads time out well before.
        const auto ceiling = std::chrono::steady_clock::now() + 120s;
        while (done.wait_for(0s) != std::future_status::ready &&
               std::chrono::steady_clock::now() < ceiling) {
            std::deque<std::shared_ptr<Call>> batch;
            {
                std::unique_lock lock(mutex_);
                ready_.wait_for(lock, 10ms, [&] { return !queue_.empty(); });
                batch.swap(queue_);
            }
            for (auto& call : batch) {
                call->reply.set_value(app_.handleRequest(call->request));
            }
        }
        thread.join();
        return done.get();
    }

private:
    struct Call {
        Json request;
        std::promise<Json> reply;
    };

    Json submit(const Json& request) {
        auto call = std::make_shared<Call>();
        call->request = request;
        call->request["_remote"] = true;
        auto reply = call->reply.get_future();
        {
            std::lock_guard lock(mutex_);
            if (closing_) {
                return {{"ok", false}, {"error", "Native control closing"}};
            }
            queue_.push_back(call);
        }
        ready_.notify_one();
        return reply.get();
    }

    Application& app_;
    RemoteServer server_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::shared_ptr<Call>> queue_;
    bool closing_ = false;
};

Json sessionPatch(const std::string& key, Json value) {
    return {{"uiPatch", {{"entityId", "session"}, {"key", key}, {"value", std::move(value)}}}};
}

struct Row {
    std::string what;
    Json params;
    std::string error; // empty: the patch is accepted
};

TEST(LanPatchesIntegration, PaddedOrOversizedPatchesAreRefusedAndTheStatePushesGoOn) {
    if (std::system("/usr/bin/python3 -c 'import websockets' 2>/dev/null") != 0) {
        GTEST_SKIP() << "python3 websockets is not installed";
    }
    testing::TempFolder folder;
    HeadlessConsole console;
    const Json ui = {
        {"schemaVersion", 2},
        {"channels", Json::array({{{"id", "in1"}, {"name", "Vox"}, {"level", 0}}})},
        {"master", {{"id", "main-lr"}, {"level", 0}}},
        {"safe", {{"levels", false}, {"processing", false}, {"routing", false}, {"fx", false}}},
        {"scenes", Json::array()}};
    ASSERT_FALSE(console.applySession(testing::toneToMainSession(), ui).is_null());
    for (const char* id : {"scene-01", "scene-02", "scene-03"}) {
        ASSERT_FALSE(
            console.call("captureScene", {{"sceneId", id}, {"name", std::string("Song ") + id}})
                .is_null());
    }
    auto& impl = console.app->impl();
    const Json scenes = impl.uiSession.at("scenes");
    ASSERT_EQ(scenes.size(), 3u);

    LanConsole lan(*console.app);
    std::string error;
    ASSERT_TRUE(lan.start(error)) << error;
    const unsigned port = lan.port();
    const std::string token = lan.serveWhile([&] {
        const std::string body =
            commandOutput("curl -s -m 10 -X POST -H 'Content-Type: application/json' "
                          "--data-binary '{\"password\": \"" +
                          std::string(kPassword) + "\"}' http://127.0.0.1:" + std::to_string(port) +
                          "/api/login");
        const Json reply = Json::parse(body, nullptr, false);
        return reply.is_object() ? reply.value("token", std::string()) : std::string();
    });
    ASSERT_EQ(token.size(), 64u);

    // Near the 2 MiB message limit, as two such patches once grew the document past it.
    const std::string pad(1700000, 'p');
    const auto scenesWith = [&](const std::function<void(Json&)>& edit) {
        Json list = scenes;
        edit(list);
        return sessionPatch("scenes", list);
    };
    Json safe = ui.at("safe");
    Json paddedSafe = safe;
    paddedSafe["pad"] = pad;
    Json extraSafe = safe;
    extraSafe["levelsToo"] = true;
    Json stringSafe = safe;
    stringSafe["fx"] = "yes";

    const std::vector<Row> rows = {
        {"safe with a padded fifth member", sessionPatch("safe", paddedSafe),
         "Invalid scene safes"},
        {"safe with a small fifth member", sessionPatch("safe", extraSafe), "Invalid scene safes"},
        {"safe with a text for a boolean", sessionPatch("safe", stringSafe), "Invalid scene safes"},
        {"a kept scene with a padded snapshot",
         scenesWith([&](Json& l) { l[0]["snapshot"]["pad"] = pad; }), "Invalid scenes"},
        {"a kept scene with another snapshot",
         scenesWith([&](Json& l) { l[0]["snapshot"]["channels"] = Json::array(); }),
         "Invalid scenes"},
        {"a kept scene with an extra member", scenesWith([&](Json& l) { l[1]["pad"] = pad; }),
         "Invalid scenes"},
        {"a new scene that no capture made", scenesWith([&](Json& l) {
             l.push_back({{"id", "scene-04"}, {"name", "Forged"}, {"snapshot", {{"pad", pad}}}});
         }),
         "Invalid scenes"},
        {"a scene listed twice", scenesWith([&](Json& l) { l.push_back(l[0]); }), "Invalid scenes"},
        {"a name of 193 bytes", scenesWith([&](Json& l) { l[0]["name"] = std::string(193, 'n'); }),
         "Invalid scenes"},
        {"an empty name", scenesWith([&](Json& l) { l[0]["name"] = ""; }), "Invalid scenes"},
        {"a name with a NUL byte",
         scenesWith([&](Json& l) { l[0]["name"] = std::string("Verse\0two", 9); }),
         "Invalid scenes"},
        {"a scene without a name", scenesWith([&](Json& l) { l[0].erase("name"); }),
         "Invalid scenes"},
        {"a padded strip name",
         {{"uiPatch", {{"entityId", "in1"}, {"key", "name"}, {"value", pad}}}},
         "Invalid strip name"},
        {"a padded arm",
         {{"uiPatch", {{"entityId", "in1"}, {"key", "arm"}, {"value", {{"pad", pad}}}}}},
         "Arm must be boolean"},
        {"a padded cue mode", sessionPatch("cueMode", pad), "Invalid cue mode"},
        {"a padded current scene", sessionPatch("currentScene", pad), "Invalid current scene"},
        {"a padded field of the console's own",
         {{"uiPatch", {{"entityId", "session"}, {"key", "pad"}, {"value", pad}}}},
         "Unsupported shared field; audio controls require their native RPC"},
        {"a padded strip field",
         {{"uiPatch", {{"entityId", "in1"}, {"key", "color"}, {"value", pad}}}},
         "Unsupported shared field; audio controls require their native RPC"},
        {"padded device preferences", sessionPatch("device", {{"pad", pad}}),
         "Device selection and recording folder are local-only"},
        {"padded recorder preferences", sessionPatch("recorder", {{"pad", pad}}),
         "Invalid recorder preferences"},
    };
    // The edits the page makes of the list stay open to a LAN client: rename, reorder, drop.
    const std::vector<Row> accepted = {
        {"rename", scenesWith([&](Json& l) { l[1]["name"] = "Chorus \u00e9"; }), ""},
        {"reorder", scenesWith([&](Json& l) {
             l[1]["name"] = "Chorus \u00e9";
             std::swap(l[0], l[2]);
         }),
         ""},
        {"drop", scenesWith([&](Json& l) {
             l[1]["name"] = "Chorus \u00e9";
             std::swap(l[0], l[2]);
             l.erase(l.begin());
         }),
         ""},
        {"safes",
         sessionPatch("safe",
                      {{"levels", true}, {"processing", false}, {"routing", false}, {"fx", true}}),
         ""},
    };

    const std::string script = std::string(RUVI_SOURCE_DIR) + "/tests/app/lan_patch_client.py";
    const auto send = [&](const std::vector<Row>& list, const std::string& name) {
        Json patches = Json::array();
        for (const Row& row : list) {
            patches.push_back(row.params);
        }
        const std::string file = folder.file(name);
        testing::writeWholeFile(file, patches.dump());
        const std::string output = lan.serveWhile([&] {
            return commandOutput("/usr/bin/python3 " + script + " " + std::to_string(port) + " " +
                                 token + " " + file + " 2>&1");
        });
        std::vector<Json> lines;
        std::istringstream in(output);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(Json::parse(line, nullptr, false));
        }
        EXPECT_EQ(lines.size(), list.size() + 1) << output;
        EXPECT_TRUE(!lines.empty() && lines.back() == Json({{"done", true}})) << output;
        lines.resize(list.size() + 1);
        return lines;
    };

    const livetest::Held before = livetest::held(*console.app);
    const std::vector<Json> refused = send(rows, "refused.json");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].what);
        const Json& line = refused[i];
        ASSERT_TRUE(line.is_object());
        EXPECT_EQ(line.at("reply").value("ok", true), false);
        EXPECT_EQ(line.at("reply").value("error", std::string()), rows[i].error);
        EXPECT_LT(line.at("stateBytes").get<std::size_t>(), 262144u) << "the state push came";
    }
    // Every refusal left the revision and both documents as they were, byte for byte.
    EXPECT_TRUE(livetest::held(*console.app) == before);

    const std::vector<Json> lines = send(accepted, "accepted.json");
    std::int64_t revision = before.revision;
    for (std::size_t i = 0; i < accepted.size(); ++i) {
        SCOPED_TRACE(accepted[i].what);
        const Json& line = lines[i];
        ASSERT_TRUE(line.is_object());
        EXPECT_EQ(line.at("reply").value("ok", false), true) << line.dump();
        EXPECT_EQ(line.at("reply").at("result").at("revision"), ++revision);
    }
    const Json& held = impl.uiSession;
    ASSERT_EQ(held.at("scenes").size(), 2u);
    EXPECT_EQ(held.at("scenes").at(0).at("name"), "Chorus \u00e9");
    EXPECT_EQ(held.at("scenes").at(0).at("snapshot"), scenes.at(1).at("snapshot"));
    EXPECT_EQ(held.at("scenes").at(1), scenes.at(0));
    EXPECT_EQ(held.at("safe").at("fx"), true);
}

} // namespace
} // namespace kestravon::ruvi
