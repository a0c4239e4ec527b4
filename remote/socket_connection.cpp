#include "remote/socket_connection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace kestravon::ruvi {

bool waitSocket(int socket, bool forWrite, SteadyClock::time_point deadline,
                const std::atomic<bool>* abortFlag) {
    using namespace std::chrono;
    while (abortFlag == nullptr || abortFlag->load()) {
        const auto left = duration_cast<microseconds>(deadline - SteadyClock::now()).count();
        if (left < 1) {
            return false;
        }
        const int sliceMs = static_cast<int>(std::clamp<long long>((left + 999) / 1000, 1, 20));
        pollfd entry{socket, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
        const int r = ::poll(&entry, 1, sliceMs);
        if (r > 0) {
            // A hang-up or error also counts as ready: the following call reports it.
            return true;
        }
        if (r < 0 && errno != EINTR) {
            return false;
        }
    }
    return false;
}

bool SocketConnection::wait(bool forWrite, SteadyClock::time_point deadline,
                            const std::atomic<bool>* abortFlag) {
    return waitSocket(socket_, forWrite, deadline, abortFlag);
}

long SocketConnection::receive(char* data, std::size_t size) {
    const ssize_t n = ::recv(socket_, data, size, 0);
    if (n >= 0) {
        return static_cast<long>(n);
    }
    return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? wouldBlock : failed;
}

long SocketConnection::send(const char* data, std::size_t size) {
    const ssize_t n = ::send(socket_, data, size, MSG_NOSIGNAL);
    if (n > 0) {
        return static_cast<long>(n);
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return wouldBlock;
    }
    return failed;
}

namespace {

std::string addressText(int socket, bool peer) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const int r = peer ? ::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length)
                       : ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    if (r != 0 || address.sin_family != AF_INET) {
        return {};
    }
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) {
        return {};
    }
    return text;
}

} // namespace

std::string localAddress(int socket) {
    return addressText(socket, false);
}
std::string peerAddress(int socket) {
    return addressText(socket, true);
}

void setNonBlocking(int socket, bool enabled) {
    const int flags = ::fcntl(socket, F_GETFL, 0);
    if (flags >= 0) {
        ::fcntl(socket, F_SETFL, enabled ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
    }
}

bool setNoDelay(int socket) noexcept {
    const int one = 1;
    return ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

void shutdownSocket(int socket) noexcept {
    if (socket >= 0) {
        ::shutdown(socket, SHUT_RDWR);
    }
}

void closeSocket(int socket) noexcept {
    if (socket >= 0) {
        ::close(socket);
    }
}

} // namespace kestravon::ruvi
