#include "remote_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

namespace kestravon::ruvi {
namespace {

using namespace test;

// Reads until the server closes or 30 s pass (a server that never closes); true when it closed.
bool readUntilClosed(int fd, std::string& into) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return true;
        }
        into.append(buffer, static_cast<std::size_t>(n));
    }
    return false;
}

std::string authorization(const std::string& token) {
    return "Authorization: Bearer " + token + "\r\n";
}

TEST(RemoteThreadsThreading, ManyClientsAtOnceWithOneControlCallAtATime) {
    ServerFixture f;
    f.start();
    const std::string token = rawLogin(f.port);
    ASSERT_FALSE(token.empty());
    // Sessions keep the broadcaster busy while the HTTP clients call in.
    std::vector<std::unique_ptr<RawWebSocket>> sessions;
    for (int i = 0; i < 4; ++i) {
        sessions.push_back(std::make_unique<RawWebSocket>(f.port));
        sessions.back()->authenticate(token);
        ASSERT_EQ(sessions.back()->readMessage("authenticated")["type"], "authenticated");
        ASSERT_TRUE(sessions.back()->readMessage("state").is_object());
    }
    std::atomic<int> ok{0};
    std::vector<std::thread> clients;
    constexpr int threads = 12, perThread = 8;
    for (int t = 0; t < threads; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                const HttpResult r =
                    (i % 2 == 0)
                        ? httpRequest(f.port, "GET", "/api/events", "", authorization(token))
                        : httpRequest(f.port, "POST", "/api/rpc",
                                      nlohmann::json{{"id", t * 100 + i},
                                                     {"method", "setParameter"},
                                                     {"params", {{"sleepMs", 2}}}}
                                          .dump(),
                                      authorization(token));
                ok += r.status == 200 ? 1 : 0;
            }
        });
    }
    std::atomic<bool> reading{true};
    std::thread sessionReader([&] {
        while (reading.load()) {
            for (auto& s : sessions) {
                (void)s->readFrame(std::chrono::milliseconds(5));
            }
        }
    });
    for (auto& c : clients) {
        c.join();
    }
    reading = false;
    sessionReader.join();
    EXPECT_EQ(ok.load(), threads * perThread);
    // The broadcaster's own calls count too: it never ran beside a relayed call.
    EXPECT_EQ(f.control.maxConcurrent(), 1);
}

TEST(RemoteThreadsThreading, BroadcasterRunsOnlyForAuthenticatedSessions) {
    ServerFixture f;
    f.start();
    const std::string token = rawLogin(f.port);
    RawWebSocket waiting(f.port);
    ASSERT_TRUE(waiting.upgraded());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(f.control.broadcastCalls(), 0);

    waiting.authenticate(token);
    ASSERT_EQ(waiting.readMessage("authenticated")["type"], "authenticated");
    int states = 0;
    for (int i = 0; i < 10; ++i) {
        states += waiting.readMessage("state").is_object() ? 1 : 0;
    }
    EXPECT_EQ(states, 10);
    // Each push is a new snapshot: the broadcaster built at least as many.
    EXPECT_GE(f.control.broadcastCalls(), 10);
}

TEST(RemoteThreadsThreading, UnusableStatesAreNeverPushed) {
    for (int broken : {1, 2}) {
        ServerFixture f;
        f.start();
        const std::string token = rawLogin(f.port);
        f.control.brokenState = broken;
        RawWebSocket ws(f.port);
        ws.authenticate(token);
        ASSERT_EQ(ws.readMessage("authenticated")["type"], "authenticated");
        // The second call starts only after the first one's state was refused.
        for (int i = 0; i < 1000 && f.control.broadcastCalls() < 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_GE(f.control.broadcastCalls(), 2) << broken;
        EXPECT_TRUE(ws.readMessage("state", std::chrono::milliseconds(200)).is_null()) << broken;
        // A usable state is pushed as soon as the handler gives one again.
        f.control.brokenState = 0;
        EXPECT_EQ(ws.readMessage("state")["state"]["revision"], 3) << broken;
    }
}

TEST(RemoteThreadsThreading, SlowClientsAreCutOffWithoutStarvingOthers) {
    ServerFixture f;
    f.start();
    // Four clients trickling one byte every 100 ms hold all four workers for a while.
    std::vector<std::thread> slow;
    std::atomic<int> cutOff{0};
    std::atomic<int> maxBytes{0};
    for (int i = 0; i < 4; ++i) {
        slow.emplace_back([&] {
            const int fd = connectLoopback(f.port);
            const std::string request =
                "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(f.port) +
                "\r\nX-Slow: " + std::string(200, 'a');
            int sent = 0;
            for (char c : request) {
                if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) {
                    break;
                }
                ++sent;
                pollfd entry{fd, POLLIN, 0};
                if (::poll(&entry, 1, 100) > 0) {
                    break; // the server answered or closed
                }
            }
            std::string answer;
            if (readUntilClosed(fd, answer) && parseResponse(answer).status == 400) {
                ++cutOff;
            }
            int seen = maxBytes.load();
            while (sent > seen && !maxBytes.compare_exchange_weak(seen, sent)) {
            }
            ::close(fd);
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const HttpResult normal = httpRequest(f.port, "GET", "/styles.css");
    for (auto& t : slow) {
        t.join();
    }
    EXPECT_EQ(normal.status, 200);
    EXPECT_EQ(cutOff.load(), 4);
    // 1.5 s at 10 bytes a second, with room for a loaded machine; never the whole request.
    EXPECT_LT(maxBytes.load(), 100);
}

TEST(RemoteThreadsThreading, DisableWhileRequestsAndSessionsRun) {
    ServerFixture f;
    f.start();
    const std::string token = rawLogin(f.port);
    ASSERT_FALSE(token.empty());
    std::vector<std::unique_ptr<RawWebSocket>> sessions;
    for (int i = 0; i < 3; ++i) {
        sessions.push_back(std::make_unique<RawWebSocket>(f.port));
        sessions.back()->authenticate(token);
        ASSERT_EQ(sessions.back()->readMessage("authenticated")["type"], "authenticated");
    }
    RawWebSocket unauthenticated(f.port);
    ASSERT_TRUE(unauthenticated.upgraded());
    // Half-sent requests in the workers and a control call in flight.
    std::vector<int> partial;
    for (int i = 0; i < 6; ++i) {
        partial.push_back(connectLoopback(f.port));
        const std::string start = "GET / HTTP/1.1\r\nHost: 127.0.0.1:";
        ::send(partial.back(), start.data(), start.size(), MSG_NOSIGNAL);
    }
    std::thread inFlight([&] {
        (void)httpRequest(f.port, "POST", "/api/rpc",
                          R"({"id":1,"method":"setParameter","params":{"sleepMs":300}})",
                          authorization(token));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    f.server.disable();
    EXPECT_EQ(f.server.status()["enabled"], false);
    for (int fd : partial) {
        std::string ignored;
        EXPECT_TRUE(readUntilClosed(fd, ignored));
        ::close(fd);
    }
    for (auto& s : sessions) {
        EXPECT_NE(s->closeCode(std::chrono::seconds(5)), 1000);
    }
    inFlight.join();

    std::string error;
    ASSERT_TRUE(f.server.enable(f.webRoot.path().string(), testPassword, f.port,
                                f.control.handler(), error, true))
        << error;
    EXPECT_EQ(httpRequest(f.port, "GET", "/").status, 200);
    EXPECT_EQ(f.control.maxConcurrent(), 1);
}

TEST(RemoteThreadsThreading, AcceptingSurvivesResetConnections) {
    ServerFixture f;
    f.start();
    // Connections reset by their peer before or while they are accepted.
    for (int i = 0; i < 40; ++i) {
        const int fd = connectLoopback(f.port);
        const linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(fd);
    }
    // The workers may still be draining the reset ones, and a connection that finds the queue
    // full is closed unanswered; the server must answer again once they are gone.
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (status != 200 && std::chrono::steady_clock::now() < end) {
        status = httpRequest(f.port, "GET", "/").status;
        if (status != 200) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    EXPECT_EQ(status, 200);
    EXPECT_EQ(f.server.status()["enabled"], true);
}

TEST(RemoteThreadsThreading, ConnectionsBeyondTheQueueAreClosedUnanswered) {
    ServerFixture f;
    f.start();
    const std::string token = rawLogin(f.port);
    ASSERT_FALSE(token.empty());
    const std::string get =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(f.port) + "\r\n\r\n";
    // Four held control calls occupy the four workers.
    std::vector<std::thread> held;
    for (int i = 0; i < 4; ++i) {
        held.emplace_back([&, i] {
            EXPECT_EQ(httpRequest(f.port, "POST", "/api/rpc",
                                  nlohmann::json{{"id", i},
                                                 {"method", "setParameter"},
                                                 {"params", {{"hold", true}}}}
                                      .dump(),
                                  authorization(token))
                          .status,
                      200);
        });
    }
    // One call holds the control service, the other three wait for it in their workers.
    const auto waitForLoad = [&](std::size_t waiting, int busy) {
        while (f.control.holdsEntered.load() == 0 || f.server.connectionLoad().waiting != waiting ||
               f.server.connectionLoad().busyWorkers != busy) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };
    waitForLoad(0, 4);
    std::vector<int> queued;
    for (int i = 0; i < 32; ++i) {
        queued.push_back(connectLoopback(f.port));
        ::send(queued.back(), get.data(), get.size(), MSG_NOSIGNAL);
    }
    waitForLoad(32, 4);
    const int extra = connectLoopback(f.port);
    ::send(extra, get.data(), get.size(), MSG_NOSIGNAL);
    std::string unanswered;
    EXPECT_TRUE(readUntilClosed(extra, unanswered));
    EXPECT_EQ(unanswered, "");
    ::close(extra);

    f.control.openGate();
    for (auto& t : held) {
        t.join();
    }
    for (int fd : queued) {
        std::string answer;
        EXPECT_TRUE(readUntilClosed(fd, answer));
        EXPECT_EQ(parseResponse(answer).status, 200);
        ::close(fd);
    }
}

} // namespace
} // namespace kestravon::ruvi
