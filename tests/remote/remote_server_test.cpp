#include "remote/remote_server.h"

#include "remote/interface_list.h"
#include "remote_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace kestravon::ruvi {
namespace {

using namespace test;

std::size_t openDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

TEST(RemoteServerLifecycle, RefusesBadArgumentsAndStaysStopped) {
    TempWebRoot root;
    TestControl control;
    struct Case {
        std::string password;
        unsigned port;
        bool withHandler;
        bool accepted;
    };
    const Case cases[] = {
        {std::string(7, 'p'), 0, true, false},     {std::string(257, 'p'), 0, true, false},
        {std::string(8, 'p'), 65536, true, false}, {std::string(8, 'p'), 0, false, false},
        {std::string(8, 'p'), 0, true, true},      {std::string(256, 'p'), 0, true, true},
    };
    for (const auto& c : cases) {
        RemoteServer server;
        std::string error = "stale";
        const bool ok = server.enable(root.path().string(), c.password, c.port,
                                      c.withHandler ? control.handler() : nullptr, error, true);
        EXPECT_EQ(ok, c.accepted) << c.password.size() << " " << c.port;
        EXPECT_EQ(error, c.accepted ? "" : "Use an 8-character password and a valid port");
        EXPECT_EQ(server.status()["enabled"], c.accepted);
    }
}

TEST(RemoteServerLifecycle, StatusWhileRunningAndAfterStop) {
    ServerFixture f;
    f.start();
    nlohmann::json status = f.server.status();
    EXPECT_NE(f.port, 0u);
    const std::string url = "http://127.0.0.1:" + std::to_string(f.port) + "/";
    EXPECT_EQ(status["urls"], nlohmann::json::array({url}));
    EXPECT_EQ(
        status["interfaces"],
        nlohmann::json::parse(R"([{"ip":"127.0.0.1","name":"Loopback","url":")" + url + "\"}]"));
    EXPECT_EQ(status["enabled"], true);
    EXPECT_EQ(status["loopbackOnly"], true);
    EXPECT_EQ(status["snapshotHz"], 20);
    EXPECT_EQ(status["transport"], "HTTP/WebSocket control only");
    EXPECT_EQ(status["websocketPath"], "/api/ruvi");
    EXPECT_EQ(status["webSocket"], true);
    EXPECT_EQ(status["websocket"], true);
    EXPECT_EQ(status["clients"], 0);

    ASSERT_FALSE(rawLogin(f.port).empty());
    EXPECT_EQ(f.server.status()["clients"], 1);

    f.server.disable();
    f.server.disable();
    status = f.server.status();
    EXPECT_EQ(status["enabled"], false);
    EXPECT_EQ(status["port"], 0);
    EXPECT_EQ(status["clients"], 0);
    EXPECT_EQ(status["webSocketClients"], 0);
    EXPECT_TRUE(status["urls"].empty());
    EXPECT_TRUE(status["interfaces"].empty());
    EXPECT_EQ(status["loopbackOnly"], true);
    EXPECT_TRUE(rawExchange(f.port, "GET / HTTP/1.1\r\n\r\n").empty());
}

TEST(RemoteServerLifecycle, SecondEnableLeavesTheRunningServerAlone) {
    ServerFixture f;
    f.start();
    const std::string token = rawLogin(f.port);
    ASSERT_FALSE(token.empty());
    std::string error;
    EXPECT_FALSE(f.server.enable(f.webRoot.path().string(), "another-password", 0,
                                 f.control.handler(), error, true));
    EXPECT_EQ(error, "Remote service already enabled");
    EXPECT_EQ(f.server.status()["port"], f.port);
    EXPECT_EQ(
        httpRequest(f.port, "GET", "/api/events", "", "Authorization: Bearer " + token + "\r\n")
            .status,
        200);
}

TEST(RemoteServerLifecycle, RestartForgetsEveryToken) {
    ServerFixture f;
    f.start();
    const std::string token = rawLogin(f.port);
    ASSERT_FALSE(token.empty());
    f.server.disable();
    std::string error;
    ASSERT_TRUE(f.server.enable(f.webRoot.path().string(), "new-password-2", f.port,
                                f.control.handler(), error, true))
        << error;
    const auto r =
        httpRequest(f.port, "GET", "/api/events", "", "Authorization: Bearer " + token + "\r\n");
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(r.body, R"({"error":"Login required"})");
    EXPECT_TRUE(rawLogin(f.port).empty());
    EXPECT_FALSE(rawLogin(f.port, "new-password-2").empty());
}

TEST(RemoteServerLifecycle, AssetProblemsFailWholeEnable) {
    struct Case {
        const char* name;
        std::size_t size; // size of styles.css; 0 removes it
        std::string error;
    };
    const Case cases[] = {
        {"missing", 0, "No such file or directory"},
        {"too large", 2097153, "Remote UI asset too large"},
        {"largest", 2097152, ""},
    };
    for (const auto& c : cases) {
        TempWebRoot root;
        if (c.size == 0) {
            std::filesystem::remove(root.path() / "styles.css");
        } else {
            root.write("styles.css", std::string(c.size, 'c'));
        }
        TestControl control;
        RemoteServer server;
        const std::size_t before = openDescriptors();
        std::string error;
        const bool ok =
            server.enable(root.path().string(), testPassword, 0, control.handler(), error, true);
        EXPECT_EQ(ok, c.error.empty()) << c.name;
        if (c.error.empty()) {
            const unsigned port = server.status()["port"];
            const auto r = httpRequest(port, "GET", "/styles.css");
            EXPECT_EQ(r.body.size(), c.size);
            EXPECT_NE(r.head.find("Content-Type: text/css; charset=utf-8\r\n"), std::string::npos);
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
            EXPECT_EQ(server.status()["enabled"], false);
            EXPECT_EQ(openDescriptors(), before) << c.name;
        }
    }
}

TEST(RemoteServerLifecycle, PortHeldByAnotherProgram) {
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);

    TempWebRoot root;
    TestControl control;
    RemoteServer server;
    std::string error;
    EXPECT_FALSE(server.enable(root.path().string(), testPassword, ntohs(address.sin_port),
                               control.handler(), error, true));
    EXPECT_EQ(error, "Port unavailable; no firewall or system setting was changed");
    EXPECT_EQ(server.status()["enabled"], false);
    ::close(holder);
}

TEST(RemoteServerInterfaces, EntriesAreUniqueAndReachable) {
    nlohmann::json entries = nlohmann::json::array();
    makeInterfaceEntry(entries, 8080, "eth0", "192.168.1.20");
    makeInterfaceEntry(entries, 8080, "eth0", "192.168.1.20");
    makeInterfaceEntry(entries, 8080, "", "10.0.0.2");
    EXPECT_EQ(entries, nlohmann::json::parse(R"([
        {"ip":"192.168.1.20","name":"eth0","url":"http://192.168.1.20:8080/"},
        {"ip":"10.0.0.2","name":"","url":"http://10.0.0.2:8080/"}])"));

    for (const auto& entry : listInterfaces(8080, false)) {
        const std::string ip = entry["ip"];
        EXPECT_NE(ip.rfind("127.", 0), 0u) << ip;
        EXPECT_EQ(entry["url"], "http://" + ip + ":8080/");
    }
}

} // namespace
} // namespace kestravon::ruvi
