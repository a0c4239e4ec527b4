#include "remote_test_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

namespace kestravon::ruvi {
namespace {

using namespace test;

class WebSocketSession : public ::testing::Test {
protected:
    void SetUp() override {
        f.start();
        token = rawLogin(f.port);
        ASSERT_EQ(token.size(), 64u);
    }
    // An authenticated raw client.
    std::unique_ptr<RawWebSocket> authenticated() {
        auto ws = std::make_unique<RawWebSocket>(f.port);
        EXPECT_TRUE(ws->upgraded());
        ws->authenticate(token);
        EXPECT_EQ(ws->readMessage("authenticated")["type"], "authenticated");
        return ws;
    }
    std::string upgrade(const std::string& extra, const std::string& key,
                        const std::string& method = "GET",
                        const std::string& target = "/api/ruvi") {
        const std::string host = "127.0.0.1:" + std::to_string(f.port);
        return rawExchange(f.port,
                           method + " " + target + " HTTP/1.1\r\nHost: " + host +
                               "\r\nUpgrade: websocket\r\nConnection: keep-alive, Upgrade\r\n"
                               "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: " +
                               key + "\r\n" + extra + "\r\n");
    }
    ServerFixture f;
    std::string token;
};

TEST_F(WebSocketSession, HandshakeRefusals) {
    const std::string origin = "Origin: http://127.0.0.1:" + std::to_string(f.port) + "\r\n";
    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    struct Case {
        const char* name;
        std::string raw;
    };
    const Case cases[] = {
        {"no origin", upgrade("", key)},
        {"key with one =", upgrade(origin, "dGhlIHNhbXBsZSBub25jZQA=")},
        {"spare bits", upgrade(origin, "dGhlIHNhbXBsZSBub25jZR==")},
        {"version 12",
         upgrade(origin + "Sec-WebSocket-Version: 12\r\n", key)}, // duplicate: reader refuses
        {"POST", upgrade(origin + "Content-Type: application/json\r\n", key, "POST")},
        {"query", upgrade(origin, key, "GET", "/api/ruvi?x=1")},
    };
    for (const auto& c : cases) {
        const HttpResult r = parseResponse(c.raw);
        EXPECT_EQ(r.status, 400) << c.name;
        EXPECT_TRUE(r.body == R"({"error":"Invalid WebSocket handshake"})" ||
                    r.body == R"({"error":"Invalid HTTP request"})")
            << c.name << ": " << r.body;
    }
    RawWebSocket accepted(f.port);
    ASSERT_TRUE(accepted.upgraded());
    accepted.sendFrame(8, "");
    EXPECT_EQ(accepted.readFrame(), std::make_pair(8, std::string()));
}

TEST_F(WebSocketSession, AuthenticationFailuresClosePolicy) {
    std::string expired = token;
    expired[5] = expired[5] == '0' ? '1' : '0';
    for (const std::string& message :
         {nlohmann::json{{"type", "auth"}, {"token", expired}}.dump(),
          nlohmann::json{{"type", "auth"}, {"token", token.substr(1)}}.dump(),
          nlohmann::json{{"type", "auth"}, {"token", 5}}.dump(),
          nlohmann::json{{"type", "rpc"}, {"id", 1}, {"method", "status"}}.dump()}) {
        RawWebSocket ws(f.port);
        ASSERT_TRUE(ws.upgraded());
        ws.sendFrame(1, message);
        EXPECT_EQ(ws.closeCode(), 1008) << message;
    }
}

TEST_F(WebSocketSession, MalformedFramesAndTheirCloseCodes) {
    struct Case {
        const char* name;
        std::function<void(RawWebSocket&)> send;
        int code;
    };
    const std::string big(3 * 1048576, 'x');
    const Case cases[] = {
        {"unmasked", [](RawWebSocket& ws) { ws.sendFrame(1, "{}", true, false); }, 1002},
        {"opcode 3", [](RawWebSocket& ws) { ws.sendFrame(3, "x"); }, 1002},
        {"binary", [](RawWebSocket& ws) { ws.sendFrame(2, "x"); }, 1003},
        {"fragmented ping", [](RawWebSocket& ws) { ws.sendFrame(9, "x", false); }, 1002},
        {"16-bit length 100",
         [](RawWebSocket& ws) {
             ws.sendRaw(std::string("\x81\xfe\x00\x64\x01\x02\x03\x04", 8) + std::string(100, 'a'));
         },
         1002},
        {"3 MiB announced",
         [](RawWebSocket& ws) {
             ws.sendRaw(
                 std::string("\x81\xff\x00\x00\x00\x00\x00\x30\x00\x00\x01\x02\x03\x04", 14));
         },
         1009},
        {"close 1005", [](RawWebSocket& ws) { ws.sendFrame(8, std::string("\x03\xed", 2)); }, 1002},
        {"invalid UTF-8", [](RawWebSocket& ws) { ws.sendFrame(1, "\"\xc3\x28\""); }, 1007},
        {"invalid JSON", [](RawWebSocket& ws) { ws.sendFrame(1, "{"); }, 1007},
        {"not an object", [](RawWebSocket& ws) { ws.sendFrame(1, "[1]"); }, 1007},
        {"65 levels",
         [](RawWebSocket& ws) { ws.sendFrame(1, std::string(65, '[') + std::string(65, ']')); },
         1007},
        {"not rpc", [](RawWebSocket& ws) { ws.sendFrame(1, R"({"type":"ping"})"); }, 1011},
    };
    for (const auto& c : cases) {
        auto ws = authenticated();
        c.send(*ws);
        EXPECT_EQ(ws->closeCode(), c.code) << c.name;
    }
}

TEST_F(WebSocketSession, ControlFramesAndRpcReplies) {
    auto ws = authenticated();
    EXPECT_EQ(ws->readMessage("state")["state"]["revision"], 3);

    ws->sendFrame(9, "abc");
    std::pair<int, std::string> frame;
    do {
        frame = ws->readFrame();
    } while (frame.first == 1);
    EXPECT_EQ(frame, std::make_pair(10, std::string("abc")));

    struct Case {
        std::string message;
        nlohmann::json reply;
    };
    const Case cases[] = {
        {R"({"type":"rpc","id":7,"method":"saveSession"})",
         R"({"id":7,"ok":false,"error":"This operation requires the local computer","type":"reply"})"_json},
        {R"({"type":"rpc","id":3})",
         R"({"id":3,"ok":false,"error":"Invalid request or unavailable control service","type":"reply"})"_json},
        {R"({"type":"rpc","id":"a","method":"status","params":{}})",
         R"({"id":"a","ok":true,"result":{"running":true},"type":"reply"})"_json},
        {R"({"type":"rpc","method":"setParameter","params":{}})",
         R"({"id":null,"ok":true,"result":{"method":"setParameter"},"type":"reply"})"_json},
    };
    for (const auto& c : cases) {
        ws->sendFrame(1, c.message);
        EXPECT_EQ(ws->readMessage("reply"), c.reply) << c.message;
    }
    // The relayed call carries no "type".
    EXPECT_EQ(f.control.calls().back(), R"({"method":"setParameter","params":{}})"_json);

    // A fragmented rpc is one message.
    ws->sendFrame(1, R"({"type":"rpc","id":9,)", false);
    ws->sendFrame(0, R"("method":"status"})", true);
    EXPECT_EQ(ws->readMessage("reply")["id"], 9);

    ws->sendFrame(8, std::string("\x03\xe8"
                                 "bye",
                                 5));
    do {
        frame = ws->readFrame();
    } while (frame.first == 1);
    EXPECT_EQ(frame, std::make_pair(8, std::string("\x03\xe8"
                                                   "bye",
                                                   5)));
}

TEST_F(WebSocketSession, RateLimitAndAuthTimeout) {
    auto ws = authenticated();
    const std::string message = R"({"type":"rpc","id":1,"method":"status"})";
    // 120 messages pass in the window (the auth message counted), the next closes.
    for (int i = 0; i < 121; ++i) {
        ws->sendFrame(1, message);
    }
    EXPECT_EQ(ws->closeCode(), 1008);

    RawWebSocket silent(f.port);
    ASSERT_TRUE(silent.upgraded());
    // The server's own authentication time-out is 5 s; the ceiling is for one that never fires.
    EXPECT_EQ(silent.closeCode(std::chrono::seconds(40)), 1008);
}

TEST_F(WebSocketSession, ClientSlotsAndUnauthenticatedShare) {
    std::vector<std::unique_ptr<RawWebSocket>> waiting;
    for (int i = 0; i < 8; ++i) {
        waiting.push_back(std::make_unique<RawWebSocket>(f.port));
        ASSERT_TRUE(waiting.back()->upgraded());
    }
    // A ninth connection that has not authenticated would crowd out real clients.
    const HttpResult refused = parseResponse(
        rawExchange(f.port, "GET /api/ruvi HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(f.port) +
                                "\r\nOrigin: http://127.0.0.1:" + std::to_string(f.port) +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n\r\n"));
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.body, R"({"error":"WebSocket client limit reached"})");

    for (auto& ws : waiting) {
        ws->authenticate(token);
        ASSERT_EQ(ws->readMessage("authenticated")["type"], "authenticated");
    }
    for (int i = 0; i < 24; ++i) {
        waiting.push_back(authenticated());
    }
    EXPECT_EQ(f.server.status()["webSocketClients"], 32);
    RawWebSocket extra(f.port);
    EXPECT_FALSE(extra.upgraded());

    // Once a session has ended, the next upgrade prunes it and is admitted.
    waiting.pop_back();
    bool admitted = false;
    for (int attempt = 0; attempt < 600 && !admitted; ++attempt) { // 30 s of attempts
        RawWebSocket next(f.port);
        admitted = next.upgraded();
        if (!admitted) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    EXPECT_TRUE(admitted);
}

// Runs a program, returns its standard output.
std::string runProgram(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            out.append(buffer, n);
        }
        ::pclose(pipe);
    }
    return out;
}

TEST(WebSocketSessionIntegration, RealClientSession) {
    ServerFixture f;
    f.start();
    const std::string token = loginToken(f.port);
    ASSERT_FALSE(token.empty());
    const std::string out = runProgram("/usr/bin/python3 " RUVI_REMOTE_TEST_DIR "/ws_client.py " +
                                       std::to_string(f.port) + " " + token + " session 2>&1");
    std::map<std::string, nlohmann::json> steps;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const auto j = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << out;
        steps[j["step"]] = j;
    }
    ASSERT_EQ(steps.size(), 6u) << out;
    EXPECT_EQ(steps["auth"]["message"]["clientId"].get<std::string>().size(), 16u);
    EXPECT_EQ(steps["state"]["message"]["state"]["revision"], 3);
    EXPECT_EQ(steps["allowed"]["message"],
              R"({"id":7,"ok":true,"result":{"running":true},"type":"reply"})"_json);
    EXPECT_EQ(steps["refused"]["message"]["error"], "This operation requires the local computer");
    EXPECT_EQ(steps["closed"]["code"], 1000);
}

TEST(WebSocketSessionIntegration, BrowserPageLogsInAndControls) {
    ServerFixture f;
    // The page logs in, opens the WebSocket from its own origin and calls "status" once a state
    // push arrived: the call reaching the handler proves Host, Origin and fetch metadata passed.
    f.webRoot.write("app.js", std::string(R"JS(
(async () => {
  const login = await fetch('/api/login', {method: 'POST',
    headers: {'Content-Type': 'application/json'},
    body: JSON.stringify({password: ')JS") +
                                  testPassword + R"JS('})});
  const reply = await login.json();
  const ws = new WebSocket('ws://' + location.host + '/api/ruvi');
  ws.onopen = () => ws.send(JSON.stringify({type: 'auth', token: reply.token}));
  ws.onmessage = (event) => {
    const message = JSON.parse(event.data);
    if (message.type === 'state') {
      ws.send(JSON.stringify({type: 'rpc', id: 1, method: 'status',
                              params: {fromBrowser: true}}));
    }
  };
})();
)JS");
    f.start();
    const auto profile = std::filesystem::temp_directory_path() /
                         ("ruvi-chromium-" + std::to_string(std::random_device{}()));
    const std::string url = "http://127.0.0.1:" + std::to_string(f.port) + "/";
    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        const std::string dataDir = "--user-data-dir=" + profile.string();
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        ::execl("/usr/bin/chromium", "chromium", "--headless", "--no-sandbox", "--disable-gpu",
                "--disable-quic", "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--no-proxy-server",
                dataDir.c_str(), url.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(child, 0);
    ::setpgid(child, child);
    for (int i = 0; i < 600 && !f.control.browserSeen.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(-child, SIGTERM);
    int status = 0;
    ::waitpid(child, &status, 0);
    std::error_code ignored;
    std::filesystem::remove_all(profile, ignored);
    EXPECT_TRUE(f.control.browserSeen.load());
}

} // namespace
} // namespace kestravon::ruvi
