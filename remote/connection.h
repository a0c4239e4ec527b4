#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string_view>

namespace kestravon::ruvi {

using SteadyClock = std::chrono::steady_clock;

// One byte stream the HTTP reader, the response writer and the WebSocket code work on: a real
// socket in the server, a memory buffer in tests and fuzzing. A connection is used by one thread
// at a time.
class Connection {
public:
    static constexpr long wouldBlock = -1;
    static constexpr long failed = -2;

    virtual ~Connection() = default;

    // True when the stream is readable (or writable) before the deadline; false on timeout, on
    // error, or once abortFlag (which may be null) reads false. Waits are sliced to 20 ms.
    [[nodiscard]] virtual bool wait(bool forWrite, SteadyClock::time_point deadline,
                                    const std::atomic<bool>* abortFlag) = 0;
    // Bytes received (> 0), 0 when the peer closed, or wouldBlock / failed.
    virtual long receive(char* data, std::size_t size) = 0;
    // Bytes sent (> 0), or wouldBlock / failed.
    virtual long send(const char* data, std::size_t size) = 0;
};

// Sends every byte before the deadline in pieces of at most 64 KiB; false when the deadline,
// the abort flag or a send failure cut it short.
[[nodiscard]] bool sendAll(Connection& connection, std::string_view data,
                           SteadyClock::time_point deadline, const std::atomic<bool>* abortFlag);

} // namespace kestravon::ruvi
