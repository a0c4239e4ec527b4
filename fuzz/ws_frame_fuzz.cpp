// Feeds arbitrary bytes to the WebSocket frame reader as a session would receive them from a
// memory connection: the first byte sets the size of each read (1 to 64 bytes), and parsing
// stops at the first close or protocol failure, as the session does.
#include "remote/memory_connection.h"
#include "remote/web_socket_frame.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestravon::ruvi;
    if (size == 0) {
        return 0;
    }
    const std::size_t step = data[0] % 64 + 1;
    MemoryConnection connection;
    for (std::size_t i = 1; i < size; i += step) {
        const std::size_t n = std::min(step, size - i);
        connection.pushInput(std::string(reinterpret_cast<const char*>(data + i), n));
    }
    WebSocketFrameReader reader;
    char chunk[8192];
    for (;;) {
        const long n = connection.receive(chunk, sizeof chunk);
        if (n <= 0 || !reader.append(chunk, static_cast<std::size_t>(n))) {
            return 0;
        }
        for (WebSocketEvent e = reader.next(); e.kind != WebSocketEvent::Kind::none;
             e = reader.next()) {
            if (e.kind == WebSocketEvent::Kind::fail || e.kind == WebSocketEvent::Kind::close) {
                return 0;
            }
            if (e.kind == WebSocketEvent::Kind::message) {
                (void)isValidUtf8(e.text);
            }
        }
    }
}
