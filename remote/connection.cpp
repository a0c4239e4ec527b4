#include "remote/connection.h"

#include <algorithm>

namespace kestravon::ruvi {

bool sendAll(Connection& connection, std::string_view data, SteadyClock::time_point deadline,
             const std::atomic<bool>* abortFlag) {
    // Send first and wait only when the socket is full: most frames and responses fit the send
    // buffer at once, and a readiness wait before each would double the system calls.
    std::size_t sent = 0;
    while (sent < data.size()) {
        if ((abortFlag != nullptr && !abortFlag->load()) || SteadyClock::now() >= deadline) {
            return false;
        }
        const std::size_t piece = std::min<std::size_t>(data.size() - sent, 65536);
        const long n = connection.send(data.data() + sent, piece);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n != Connection::wouldBlock || !connection.wait(true, deadline, abortFlag)) {
            return false;
        }
    }
    return true;
}

} // namespace kestravon::ruvi
