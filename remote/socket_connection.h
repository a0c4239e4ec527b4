#pragma once

#include "remote/connection.h"

#include <string>

namespace kestravon::ruvi {

// A non-blocking TCP socket that the caller owns; this object never closes it.
class SocketConnection final : public Connection {
public:
    explicit SocketConnection(int socket) noexcept : socket_(socket) {}

    [[nodiscard]] bool wait(bool forWrite, SteadyClock::time_point deadline,
                            const std::atomic<bool>* abortFlag) override;
    long receive(char* data, std::size_t size) override;
    long send(const char* data, std::size_t size) override;

private:
    int socket_;
};

// poll() on one socket in slices of at most 20 ms, giving up when abortFlag reads false.
[[nodiscard]] bool waitSocket(int socket, bool forWrite, SteadyClock::time_point deadline,
                              const std::atomic<bool>* abortFlag);

// Dotted IPv4 text of the socket's local or peer address; empty when it cannot be read.
std::string localAddress(int socket);
std::string peerAddress(int socket);

void setNonBlocking(int socket, bool enabled);
// Sends each write at once instead of holding a small one back until the peer acknowledges what
// went before (a reply written after a state push would otherwise wait for the peer's delayed
// acknowledgement). False when the option could not be set; the socket still works.
bool setNoDelay(int socket) noexcept;
void shutdownSocket(int socket) noexcept;
void closeSocket(int socket) noexcept;

} // namespace kestravon::ruvi
