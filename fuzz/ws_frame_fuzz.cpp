// Feeds arbitrary bytes to the WebSocket frame reader as a session would receive them from a
// memory connection: the first byte sets the size of each read (1 to 64 bytes), and parsing
// stops at the first close or protocol failure, as the session does.
#include "remote/memory_connection.h"
#include "remote/web_socket_frame.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestravon::ruvi;
    MemoryConnection connection;
    connection.pushSplitInput(std::string_view(reinterpret_cast<const char*>(data), size));
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
