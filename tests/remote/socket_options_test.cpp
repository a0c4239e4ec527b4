// The server's side of each accepted connection, looked up among this process's own descriptors:
// HTTP connections and WebSocket sessions both send small writes at once (no Nagle hold-back),
// so a reply written right after a state push does not wait for the client's delayed
// acknowledgement of the push.

#include "remote_test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace kestravon::ruvi::test {
namespace {

using namespace std::chrono_literals;

unsigned short portOf(const sockaddr_in& address) {
    return ntohs(address.sin_port);
}

// The descriptor of this process whose peer is the client socket's local address, or -1.
int serverSideOf(int client) {
    sockaddr_in mine{};
    socklen_t length = sizeof mine;
    if (::getsockname(client, reinterpret_cast<sockaddr*>(&mine), &length) != 0) {
        return -1;
    }
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr) {
        return -1;
    }
    int found = -1;
    while (dirent* entry = ::readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        struct stat info {};
        if (fd <= 2 || fd == client || ::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) {
            continue;
        }
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 &&
            peer.sin_family == AF_INET && portOf(peer) == portOf(mine) &&
            peer.sin_addr.s_addr == mine.sin_addr.s_addr) {
            found = fd;
            break;
        }
    }
    ::closedir(fds);
    return found;
}

bool noDelay(int fd) {
    int value = 0;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length) == 0 && value != 0;
}

// Waits until the server has taken in everything the client sent on this connection, which
// it does only after the accept thread handed the socket over.
int serverSideAfterItRead(int client) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < end) {
        const int fd = serverSideOf(client);
        int unread = -1;
        if (fd >= 0 && ::ioctl(fd, FIONREAD, &unread) == 0 && unread == 0) {
            return fd;
        }
        std::this_thread::sleep_for(5ms);
    }
    return -1;
}

TEST(SocketOptions, HttpConnectionsAndWebSocketSessionsSendWithoutDelay) {
    ServerFixture f;
    f.start();

    // An HTTP request whose body is still on its way: the worker holds the connection open.
    const int http = connectLoopback(f.port);
    ASSERT_GE(http, 0);
    const std::string head = "POST /api/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                             "application/json\r\nContent-Length: 40\r\n\r\n{\"pass";
    ASSERT_EQ(::send(http, head.data(), head.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(head.size()));
    const int httpServerSide = serverSideAfterItRead(http);
    ASSERT_GE(httpServerSide, 0) << "the server never read the request";
    EXPECT_TRUE(noDelay(httpServerSide));
    ::close(http);

    // An authenticated WebSocket session, which receives the state pushes and writes replies.
    const std::string token = rawLogin(f.port);
    ASSERT_FALSE(token.empty());
    RawWebSocket ws(f.port);
    ASSERT_TRUE(ws.upgraded());
    ws.authenticate(token);
    const int sessionServerSide = serverSideOf(ws.fd());
    ASSERT_GE(sessionServerSide, 0);
    EXPECT_TRUE(noDelay(sessionServerSide));
    EXPECT_EQ(ws.readMessage("state").value("type", ""), "state");
}

} // namespace
} // namespace kestravon::ruvi::test
