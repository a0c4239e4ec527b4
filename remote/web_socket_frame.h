#pragma once

#include "common/utf8.h" // text frames and close reasons must be strict UTF-8

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestravon::ruvi {

inline constexpr std::size_t maxWebSocketPayload = 2097152;
inline constexpr std::size_t maxWebSocketBuffer = 2105359;

namespace ws {
inline constexpr int continuation = 0, text = 1, binary = 2, close = 8, ping = 9, pong = 10;
inline constexpr int goingAway = 1001, protocolError = 1002, unsupportedData = 1003,
                     invalidData = 1007, policyViolation = 1008, tooBig = 1009,
                     internalError = 1011;
} // namespace ws

// Sec-WebSocket-Accept for a key: base64 of SHA-1(key + the protocol GUID).
std::string webSocketAccept(std::string_view key);
// 24 characters of canonical base64 for exactly 16 bytes.
[[nodiscard]] bool isValidWebSocketKey(std::string_view key);
// 0 when a close payload is acceptable, else the close code to answer with.
int validateClosePayload(std::string_view payload) noexcept;
// Header of an unmasked, final server frame.
std::string encodeFrameHeader(int opcode, std::size_t length);

// What the next complete client frame asks for.
struct WebSocketEvent {
    enum class Kind {
        none,    // more bytes are needed
        message, // a complete text message in text
        ping,    // answer a pong with payload in text
        close,   // the peer closed: echo text when code is 0, else close with code
        fail,    // protocol violation: close with code
    };
    Kind kind = Kind::none;
    int code = 0;
    std::string text;
};

// Parses masked client frames from a byte stream: header rules, length forms, control frame
// limits, unmasking and the assembly of fragmented text messages. Payload bytes that may be
// secrets are wiped when consumed.
// Thread contract: owned and used by one session thread.
class WebSocketFrameReader {
public:
    WebSocketFrameReader();
    ~WebSocketFrameReader();
    WebSocketFrameReader(const WebSocketFrameReader&) = delete;
    WebSocketFrameReader& operator=(const WebSocketFrameReader&) = delete;

    // Buffers received bytes; false when the buffer bound is reached (close with 1009).
    [[nodiscard]] bool append(const char* data, std::size_t size);
    // The next event; Kind::none until a frame is complete. After fail or close, stop reading.
    WebSocketEvent next();
    void wipe() noexcept;

private:
    void compact() noexcept;

    std::string buffer_;
    std::size_t consumed_ = 0;
    std::string fragments_;
    bool fragmenting_ = false;
};

} // namespace kestravon::ruvi
