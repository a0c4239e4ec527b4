#include "remote/web_socket_frame.h"

#include "remote/remote_crypto.h"

#include <cstring>

namespace kestravon::ruvi {

std::string webSocketAccept(std::string_view key) {
    std::string text(key);
    text += "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    const auto digest = sha1Digest(text);
    return base64Encode(std::string_view(reinterpret_cast<const char*>(digest.data()), 20));
}

bool isValidWebSocketKey(std::string_view key) {
    if (key.size() != 24 || key.substr(22) != "==") {
        return false;
    }
    std::string bytes;
    unsigned bits = 0;
    int count = 0;
    for (std::size_t i = 0; i < 22; ++i) {
        const char c = key[i];
        int v;
        if (c >= 'A' && c <= 'Z') {
            v = c - 'A';
        } else if (c >= 'a' && c <= 'z') {
            v = c - 'a' + 26;
        } else if (c >= '0' && c <= '9') {
            v = c - '0' + 52;
        } else if (c == '+') {
            v = 62;
        } else if (c == '/') {
            v = 63;
        } else {
            return false;
        }
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return bytes.size() == 16 && base64Encode(bytes) == key;
}

int validateClosePayload(std::string_view payload) noexcept {
    if (payload.empty()) {
        return 0;
    }
    if (payload.size() == 1) {
        return ws::protocolError;
    }
    const int code =
        (static_cast<unsigned char>(payload[0]) << 8) | static_cast<unsigned char>(payload[1]);
    const bool known = code >= 1000 && code <= 1014 && !(code >= 1004 && code <= 1006);
    if (!known && !(code >= 3000 && code <= 4999)) {
        return ws::protocolError;
    }
    return isValidUtf8(payload.substr(2)) ? 0 : ws::invalidData;
}

std::string encodeFrameHeader(int opcode, std::size_t length) {
    std::string header;
    header.push_back(static_cast<char>(0x80 | (opcode & 0x0F)));
    if (length <= 125) {
        header.push_back(static_cast<char>(length));
    } else if (length <= 65535) {
        header.push_back(static_cast<char>(126));
        header.push_back(static_cast<char>((length >> 8) & 0xFF));
        header.push_back(static_cast<char>(length & 0xFF));
    } else {
        header.push_back(static_cast<char>(127));
        for (int shift = 56; shift >= 0; shift -= 8) {
            header.push_back(
                static_cast<char>((static_cast<std::uint64_t>(length) >> shift) & 0xFF));
        }
    }
    return header;
}

WebSocketFrameReader::WebSocketFrameReader() = default;

WebSocketFrameReader::~WebSocketFrameReader() {
    wipe();
}

bool WebSocketFrameReader::append(const char* data, std::size_t size) {
    appendSecret(buffer_, data, size);
    return buffer_.size() - consumed_ < maxWebSocketBuffer;
}

void WebSocketFrameReader::wipe() noexcept {
    wipeString(buffer_);
    buffer_.clear();
    consumed_ = 0;
    wipeString(fragments_);
    fragments_.clear();
    fragmenting_ = false;
}

void WebSocketFrameReader::compact() noexcept {
    if (consumed_ == 0) {
        return;
    }
    const std::size_t rest = buffer_.size() - consumed_;
    std::memmove(buffer_.data(), buffer_.data() + consumed_, rest);
    wipeBytes(buffer_.data() + rest, consumed_);
    buffer_.resize(rest);
    consumed_ = 0;
}

WebSocketEvent WebSocketFrameReader::next() {
    using Kind = WebSocketEvent::Kind;
    for (;;) {
        const auto* p = reinterpret_cast<const unsigned char*>(buffer_.data()) + consumed_;
        const std::size_t available = buffer_.size() - consumed_;
        if (available < 2) {
            compact();
            return {};
        }
        const bool fin = (p[0] & 0x80) != 0;
        const int opcode = p[0] & 0x0F;
        const bool masked = (p[1] & 0x80) != 0;
        const bool knownOpcode = opcode <= 2 || (opcode >= 8 && opcode <= 10);
        if ((p[0] & 0x70) != 0 || !masked || !knownOpcode) {
            return {Kind::fail, ws::protocolError, {}};
        }
        std::uint64_t length = p[1] & 0x7F;
        std::size_t headerSize = 2;
        if (length == 126) {
            if (available < 4) {
                compact();
                return {};
            }
            length = (static_cast<std::uint64_t>(p[2]) << 8) | p[3];
            headerSize = 4;
            if (length <= 125) {
                return {Kind::fail, ws::protocolError, {}};
            }
        } else if (length == 127) {
            if (available < 10) {
                compact();
                return {};
            }
            length = 0;
            for (int i = 0; i < 8; ++i) {
                length = (length << 8) | p[2 + i];
            }
            headerSize = 10;
            if ((length >> 63) != 0 || length <= 65535) {
                return {Kind::fail, ws::protocolError, {}};
            }
        }
        if (opcode >= 8 && (!fin || length > 125)) {
            return {Kind::fail, ws::protocolError, {}};
        }
        if (length > maxWebSocketPayload) {
            return {Kind::fail, ws::tooBig, {}};
        }
        const std::size_t frameSize = headerSize + 4 + static_cast<std::size_t>(length);
        if (available < frameSize) {
            compact();
            return {};
        }
        const unsigned char* key = p + headerSize;
        std::string payload(reinterpret_cast<const char*>(key + 4),
                            static_cast<std::size_t>(length));
        for (std::size_t i = 0; i < payload.size(); ++i) {
            payload[i] = static_cast<char>(payload[i] ^ key[i % 4]);
        }
        wipeBytes(buffer_.data() + consumed_, frameSize);
        consumed_ += frameSize;

        switch (opcode) {
        case ws::text:
            if (fragmenting_) {
                wipeString(payload);
                return {Kind::fail, ws::protocolError, {}};
            }
            if (fin) {
                return {Kind::message, 0, std::move(payload)};
            }
            fragmenting_ = true;
            appendSecret(fragments_, payload.data(), payload.size());
            wipeString(payload);
            break;
        case ws::continuation:
            if (!fragmenting_) {
                wipeString(payload);
                return {Kind::fail, ws::protocolError, {}};
            }
            if (fragments_.size() + payload.size() > maxWebSocketPayload) {
                wipeString(payload);
                return {Kind::fail, ws::tooBig, {}};
            }
            appendSecret(fragments_, payload.data(), payload.size());
            wipeString(payload);
            if (fin) {
                fragmenting_ = false;
                WebSocketEvent event{Kind::message, 0, fragments_};
                wipeString(fragments_);
                fragments_.clear();
                return event;
            }
            break;
        case ws::binary:
            return {Kind::fail, ws::unsupportedData, {}};
        case ws::close: {
            const int code = validateClosePayload(payload);
            return {Kind::close, code, code == 0 ? std::move(payload) : std::string()};
        }
        case ws::ping:
            return {Kind::ping, 0, std::move(payload)};
        default: // pong
            break;
        }
    }
}

} // namespace kestravon::ruvi
