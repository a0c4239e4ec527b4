#include "remote_test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace kestravon::ruvi {
namespace {

using namespace test;

const std::string loginRequired = R"({"error":"Login required"})";
const std::string workerError = R"({"error":"Invalid request or unavailable control service"})";

class RemoteRouterIntegration : public ::testing::Test {
protected:
    void SetUp() override { f.start(); }
    std::string host() const { return "127.0.0.1:" + std::to_string(f.port); }
    HttpResult login(const std::string& body, const std::string& type = "application/json") {
        return curl(f.port, "/api/login",
                    {"-X", "POST", "-H", "Content-Type: " + type, "--data-binary", body});
    }
    HttpResult events(const std::string& query, const std::string& token) {
        return curl(f.port, "/api/events" + query, {"-H", "Authorization: Bearer " + token});
    }
    HttpResult rpc(const std::string& body, const std::string& token) {
        return curl(f.port, "/api/rpc",
                    {"-X", "POST", "-H", "Content-Type: application/json", "-H",
                     "Authorization: Bearer " + token, "--data-binary", body});
    }
    ServerFixture f;
};

TEST_F(RemoteRouterIntegration, ServesTheFourFilesWithSecurityHeaders) {
    struct Case {
        std::string path;
        std::string type;
        std::string file;
    };
    const Case cases[] = {
        {"/", "text/html; charset=utf-8", "index.html"},
        {"/index.html?v=2", "text/html; charset=utf-8", "index.html"},
        {"/styles.css", "text/css; charset=utf-8", "styles.css"},
        {"/app.js", "text/javascript; charset=utf-8", "app.js"},
        {"/nativebridge.js", "text/javascript; charset=utf-8", "nativebridge.js"},
    };
    for (const auto& c : cases) {
        const HttpResult r = curl(f.port, c.path);
        EXPECT_EQ(r.status, 200) << c.path;
        EXPECT_EQ(r.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
        EXPECT_NE(r.head.find("Content-Type: " + c.type + "\r\n"), std::string::npos) << c.path;
        for (const char* line :
             {"Connection: close\r\n", "Cache-Control: no-store\r\n",
              "X-Content-Type-Options: nosniff\r\n", "Referrer-Policy: no-referrer\r\n",
              "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self' "
              "'unsafe-inline'; img-src 'self' data:; connect-src 'self'; frame-ancestors 'none'; "
              "base-uri 'none'; form-action 'self'\r\n"}) {
            EXPECT_NE(r.head.find(line), std::string::npos) << c.path << " lacks " << line;
        }
        std::ifstream file(f.webRoot.path() / c.file);
        const std::string expected((std::istreambuf_iterator<char>(file)), {});
        EXPECT_EQ(r.body, expected) << c.path;
    }
    const HttpResult missing = curl(f.port, "/favicon.ico");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.head.rfind("HTTP/1.1 404 Error\r\n", 0), 0u);
    EXPECT_EQ(missing.body, R"({"error":"Not found"})");
}

TEST_F(RemoteRouterIntegration, HostAndOriginChecks) {
    const std::string port = std::to_string(f.port);
    const std::string other = std::to_string(f.port == 65535 ? 1024 : f.port + 1);
    struct Case {
        std::vector<std::string> headers;
        int status;
        std::string body;
    };
    const std::string hostError = R"({"error":"Use the computer IP and port"})";
    const std::string originError = R"({"error":"Cross-origin control denied"})";
    const Case cases[] = {
        {{}, 200, ""},
        {{"Host: 127.0.0.2:" + port}, 403, hostError},
        {{"Host: 127.0.0.1:" + other}, 403, hostError},
        {{"Host: 127.0.0.1"}, 403, hostError},
        {{"Host:"}, 403, hostError},
        {{"Host: localhost:" + port}, 200, ""},
        {{"Origin: http://127.0.0.1:" + port}, 200, ""},
        {{"Origin: https://127.0.0.1:" + port}, 403, originError},
        {{"Origin: http://127.0.0.1:" + other}, 403, originError},
        {{"Origin: http://127.0.0.1:" + port + "/"}, 403, originError},
        {{"Origin: http://evil.example"}, 403, originError},
        {{"Sec-Fetch-Site: same-origin"}, 200, ""},
        {{"Sec-Fetch-Site: cross-site"}, 403, originError},
        {{"Host: localhost:" + port, "Origin: http://localhost:" + port}, 200, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args;
        for (const auto& h : c.headers) {
            args.push_back("-H");
            args.push_back(h);
        }
        const HttpResult r = curl(f.port, "/", args);
        EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.headers);
        if (!c.body.empty()) {
            EXPECT_EQ(r.body, c.body) << ::testing::PrintToString(c.headers);
            EXPECT_NE(r.head.find("Content-Type: application/json\r\n"), std::string::npos);
        }
    }
}

TEST_F(RemoteRouterIntegration, LoginAnswersAndRateLimit) {
    const std::string right = nlohmann::json{{"password", testPassword}}.dump();
    // Not counted: the content type is refused before the rate limit.
    EXPECT_EQ(login(right, "text/plain").status, 415);
    EXPECT_EQ(login(right, "text/plain").body, R"({"error":"JSON content type required"})");

    struct Step {
        std::string body;
        std::string type;
        int status;
        std::string error; // exact body, or empty for a success
    };
    const Step steps[] = {
        {R"({"password":"wrong-password"})", "application/json", 401,
         R"({"error":"Incorrect password"})"},
        {R"({"password":"short12"})", "application/json", 401, R"({"error":"Incorrect password"})"},
        {nlohmann::json{{"password", std::string(257, 'p')}}.dump(), "application/json", 400,
         workerError},
        {right, "Application/JSON; charset=UTF-8", 200, ""},
        {right, "application/json", 200, ""},
        // The sixth counted attempt within the minute, right password or not.
        {right, "application/json", 429, R"({"error":"Too many login attempts; wait one minute"})"},
    };
    for (const auto& s : steps) {
        const HttpResult r = login(s.body, s.type);
        EXPECT_EQ(r.status, s.status) << s.body.substr(0, 40);
        if (!s.error.empty()) {
            EXPECT_EQ(r.body, s.error);
            continue;
        }
        const auto reply = nlohmann::json::parse(r.body);
        const std::string token = reply["token"];
        EXPECT_EQ(token.size(), 64u);
        EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
        EXPECT_EQ(reply["clientId"].get<std::string>().size(), 16u);
        EXPECT_EQ(reply["webSocket"], true);
        EXPECT_EQ(
            reply["transport"],
            nlohmann::json::parse(R"({"path":"/api/ruvi","snapshotHz":20,"websocket":true})"));
        EXPECT_EQ(reply["revision"], 3);
        EXPECT_TRUE(reply["uiState"].is_object());
    }
    // The login asked for the full state.
    const auto calls = f.control.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), nlohmann::json::parse(
                                R"({"id":0,"method":"getControlState","params":{"after":-1}})"));
}

TEST_F(RemoteRouterIntegration, LoginBodiesThatAreNotAPassword) {
    const std::string deep = std::string(65, '[') + std::string(65, ']');
    for (const std::string& body : {std::string("{"), std::string(R"({"password":12345678})"),
                                    std::string("{}"), R"({"password":)" + deep + "}"}) {
        const HttpResult r = login(body);
        EXPECT_EQ(r.status, 400) << body;
        EXPECT_EQ(r.body, workerError);
    }
}

TEST_F(RemoteRouterIntegration, LoginNeedsAUsableControlStateAndASession) {
    const std::string right = nlohmann::json{{"password", testPassword}}.dump();
    f.control.busy = true;
    HttpResult r = login(right);
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.body, R"({"error":"Control service is busy or unavailable. Please try again."})");
    f.control.busy = false;
    f.control.noSession = true;
    r = login(right);
    EXPECT_EQ(r.status, 409);
    EXPECT_EQ(r.body,
              R"({"error":"Apply the session on the stage computer before connecting remotely."})");
    EXPECT_EQ(f.server.status()["clients"], 0);
}

TEST_F(RemoteRouterIntegration, BearerTokenIsRequired) {
    const std::string token = loginToken(f.port);
    ASSERT_EQ(token.size(), 64u);
    std::string unknown = token;
    unknown[0] = unknown[0] == 'a' ? 'b' : 'a';
    const std::vector<std::vector<std::string>> refused = {
        {},
        {"-H", "Authorization: bearer " + token},
        {"-H", "Authorization: Bearer " + token.substr(1)},
        {"-H", "Authorization: Bearer " + unknown},
        {"-H", "Authorization: Bearer  " + token},
    };
    for (const auto& args : refused) {
        const HttpResult r = curl(f.port, "/api/events", args);
        EXPECT_EQ(r.status, 401) << ::testing::PrintToString(args);
        EXPECT_EQ(r.body, loginRequired);
    }
    EXPECT_EQ(events("", token).status, 200);
}

TEST_F(RemoteRouterIntegration, EventsPassTheRevision) {
    const std::string token = loginToken(f.port);
    ASSERT_FALSE(token.empty());
    struct Case {
        std::string query;
        int status;
        nlohmann::json after;
    };
    const Case cases[] = {
        {"", 200, 0},
        {"?after=42", 200, 42},
        {"?after=18446744073709551615", 200, 18446744073709551615ull},
        {"?after=", 400, nullptr},
        {"?after=1&x=2", 400, nullptr},
        {"?since=1", 400, nullptr},
        {"?after=-1", 400, nullptr},
        {"?after=18446744073709551616", 400, nullptr},
    };
    for (const auto& c : cases) {
        const std::size_t before = f.control.calls().size();
        const HttpResult r = events(c.query, token);
        EXPECT_EQ(r.status, c.status) << c.query;
        const auto calls = f.control.calls();
        if (c.status != 200) {
            EXPECT_EQ(r.body, workerError);
            EXPECT_EQ(calls.size(), before) << c.query;
            continue;
        }
        ASSERT_EQ(calls.size(), before + 1);
        EXPECT_EQ(calls.back()["params"]["after"], c.after) << c.query;
        EXPECT_EQ(nlohmann::json::parse(r.body)["revision"], 3);
    }
}

TEST_F(RemoteRouterIntegration, RpcRelaysOnlyTheAllowList) {
    const std::string token = loginToken(f.port);
    ASSERT_FALSE(token.empty());
    HttpResult r = rpc(R"({"id":7,"method":"status","params":{}})", token);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(nlohmann::json::parse(r.body),
              nlohmann::json::parse(R"({"id":7,"ok":true,"result":{"running":true}})"));
    EXPECT_EQ(f.control.calls().back(),
              nlohmann::json::parse(R"({"id":7,"method":"status","params":{}})"));

    for (const char* method : {"applySession", "saveSession", "loadSession", "loadPlayback",
                               "stopAudio", "showVstEditor", "configureRemote", "Status"}) {
        const std::size_t before = f.control.calls().size();
        r = rpc(nlohmann::json{{"id", 8}, {"method", method}}.dump(), token);
        EXPECT_EQ(r.status, 403) << method;
        EXPECT_EQ(r.body, R"({"error":"This operation requires the local computer"})");
        EXPECT_EQ(f.control.calls().size(), before) << method;
    }
    for (const char* body : {R"({"id":9})", R"({"method":5})", "[1]", "not json"}) {
        r = rpc(body, token);
        EXPECT_EQ(r.status, 400) << body;
        EXPECT_EQ(r.body, workerError);
    }
    r = curl(f.port, "/api/rpc", {"-H", "Authorization: Bearer " + token});
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, R"({"error":"Not found"})");
}

TEST_F(RemoteRouterIntegration, MalformedRequestsGetTheReaderAnswer) {
    for (const std::string& raw :
         {std::string("GET / HTTP/1.0\r\n\r\n"), std::string("PUT / HTTP/1.1\r\n\r\n"),
          "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(f.port) +
              "\r\nTransfer-Encoding: chunked\r\n\r\n"}) {
        const HttpResult r = parseResponse(rawExchange(f.port, raw));
        EXPECT_EQ(r.status, 400) << raw;
        EXPECT_EQ(r.body, R"({"error":"Invalid HTTP request"})");
    }
}

} // namespace
} // namespace kestravon::ruvi
