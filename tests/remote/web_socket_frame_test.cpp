#include "remote/web_socket_frame.h"

#include "remote/memory_connection.h"
#include "remote_test_support.h"

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

using Kind = WebSocketEvent::Kind;

std::string masked(int first, const std::string& payload, std::size_t announced = SIZE_MAX,
                   int lengthForm = 0) {
    const std::size_t length = announced == SIZE_MAX ? payload.size() : announced;
    std::string frame(1, static_cast<char>(first));
    const int form = lengthForm != 0 ? lengthForm : (length <= 125 ? 7 : length <= 65535 ? 16 : 64);
    if (form == 7) {
        frame.push_back(static_cast<char>(0x80 | length));
    } else if (form == 16) {
        frame.push_back(static_cast<char>(0x80 | 126));
        frame.push_back(static_cast<char>(length >> 8));
        frame.push_back(static_cast<char>(length & 0xFF));
    } else {
        frame.push_back(static_cast<char>(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8) {
            frame.push_back(
                static_cast<char>((static_cast<std::uint64_t>(length) >> shift) & 0xFF));
        }
    }
    const char key[4] = {0x0a, 0x1b, 0x2c, 0x3d};
    frame.append(key, 4);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        frame.push_back(static_cast<char>(payload[i] ^ key[i % 4]));
    }
    return frame;
}

WebSocketEvent firstEvent(const std::string& bytes) {
    WebSocketFrameReader reader;
    EXPECT_TRUE(reader.append(bytes.data(), bytes.size()));
    return reader.next();
}

TEST(WebSocketHandshake, AcceptValueAndKeyRules) {
    // The sample of RFC 6455 section 1.3.
    EXPECT_EQ(webSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_TRUE(isValidWebSocketKey("dGhlIHNhbXBsZSBub25jZQ=="));
    EXPECT_FALSE(isValidWebSocketKey("dGhlIHNhbXBsZSBub25jZQ="));  // 23 characters
    EXPECT_FALSE(isValidWebSocketKey("dGhlIHNhbXBsZSBub25jZQA=")); // one "=" only
    EXPECT_FALSE(isValidWebSocketKey("dGhlIHNhbXBsZSBub25jZR==")); // spare bits set
    EXPECT_FALSE(isValidWebSocketKey("dGhlIHNhbXBsZSBub25jZ*==")); // not base64
    EXPECT_FALSE(isValidWebSocketKey(""));
}

TEST(WebSocketClose, PayloadCodes) {
    struct Case {
        std::string payload;
        int result;
    };
    const Case cases[] = {
        {"", 0},
        {"\x03", 1002},
        {std::string("\x03\xe8", 2), 0}, // 1000
        {std::string("\x03\xe8ok", 4), 0},
        {std::string("\x03\xed", 2), 1002}, // 1005
        {std::string("\x03\xec", 2), 1002}, // 1004
        {std::string("\x03\xf6", 2), 0},    // 1014
        {std::string("\x03\xf7", 2), 1002}, // 1015
        {std::string("\x0b\xb8", 2), 0},    // 3000
        {std::string("\x13\x87", 2), 0},    // 4999
        {std::string("\x13\x88", 2), 1002}, // 5000
        {std::string("\x03\xe8\xff", 3), 1007},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(validateClosePayload(c.payload), c.result) << ::testing::PrintToString(c.payload);
    }
}

TEST(WebSocketFrameHeader, ShortestLengthForm) {
    EXPECT_EQ(encodeFrameHeader(1, 125), std::string("\x81\x7d", 2));
    EXPECT_EQ(encodeFrameHeader(1, 126), std::string("\x81\x7e\x00\x7e", 4));
    EXPECT_EQ(encodeFrameHeader(9, 0), std::string("\x89\x00", 2));
    EXPECT_EQ(encodeFrameHeader(1, 65536), std::string("\x81\x7f\0\0\0\0\0\x01\0\0", 10));
}

TEST(WebSocketFrameReader, ProtocolViolationsAndTheirCodes) {
    struct Case {
        const char* name;
        std::string bytes;
        Kind kind;
        int code;
    };
    const std::string unmasked = std::string("\x81\x02hi", 4);
    const Case cases[] = {
        {"unmasked", unmasked, Kind::fail, 1002},
        {"rsv bit", masked(0xC1, "x"), Kind::fail, 1002},
        {"opcode 3", masked(0x83, "x"), Kind::fail, 1002},
        {"opcode 11", masked(0x8B, "x"), Kind::fail, 1002},
        {"binary", masked(0x82, "x"), Kind::fail, 1003},
        {"fragmented ping", masked(0x09, "x"), Kind::fail, 1002},
        {"long ping", masked(0x89, std::string(126, 'p')), Kind::fail, 1002},
        {"16-bit length 100", masked(0x81, std::string(100, 'a'), SIZE_MAX, 16), Kind::fail, 1002},
        {"64-bit length 1000", masked(0x81, std::string(1000, 'a'), SIZE_MAX, 64), Kind::fail,
         1002},
        {"64-bit top bit", masked(0x81, "", 0x8000000000010000ull, 64), Kind::fail, 1002},
        {"3 MiB text, header only", masked(0x81, "", 3 * 1048576), Kind::fail, 1009},
        {"stray continuation", masked(0x80, "x"), Kind::fail, 1002},
        {"close 1005", masked(0x88, std::string("\x03\xed", 2)), Kind::close, 1002},
        {"close 1000 with reason",
         masked(0x88, std::string("\x03\xe8"
                                  "bye",
                                  5)),
         Kind::close, 0},
        {"ping", masked(0x89, "abc"), Kind::ping, 0},
        {"text", masked(0x81, "{}"), Kind::message, 0},
        {"incomplete", masked(0x81, "hello").substr(0, 8), Kind::none, 0},
    };
    for (const auto& c : cases) {
        const WebSocketEvent event = firstEvent(c.bytes);
        EXPECT_EQ(event.kind, c.kind) << c.name;
        EXPECT_EQ(event.code, c.code) << c.name;
    }
    EXPECT_EQ(firstEvent(masked(0x89, "abc")).text, "abc");
    EXPECT_EQ(firstEvent(masked(0x88, std::string("\x03\xe8"
                                                  "bye",
                                                  5)))
                  .text,
              std::string("\x03\xe8"
                          "bye",
                          5));
}

TEST(WebSocketFrameReader, AssemblesFragmentsAroundControlFrames) {
    WebSocketFrameReader reader;
    const std::string stream = masked(0x01, "{\"a\":") + masked(0x89, "p") + masked(0x8A, "") +
                               masked(0x00, "1") + masked(0x80, "}");
    // Byte by byte: every partial frame must wait for more.
    std::vector<WebSocketEvent> events;
    for (char c : stream) {
        ASSERT_TRUE(reader.append(&c, 1));
        for (auto e = reader.next(); e.kind != Kind::none; e = reader.next()) {
            events.push_back(e);
        }
    }
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, Kind::ping);
    EXPECT_EQ(events[1].kind, Kind::message);
    EXPECT_EQ(events[1].text, "{\"a\":1}");
}

TEST(WebSocketFrameReader, FragmentRulesAndSizeBound) {
    {
        WebSocketFrameReader reader;
        const std::string bytes = masked(0x01, "a") + masked(0x81, "b");
        ASSERT_TRUE(reader.append(bytes.data(), bytes.size()));
        const auto e = reader.next();
        EXPECT_EQ(e.kind, Kind::fail);
        EXPECT_EQ(e.code, 1002);
    }
    {
        // Two 1.5 MiB fragments pass 2 MiB together.
        WebSocketFrameReader reader;
        const std::string half(1572864, 'x');
        const std::string first = masked(0x01, half);
        const std::string second = masked(0x80, half);
        ASSERT_TRUE(reader.append(first.data(), first.size()));
        EXPECT_EQ(reader.next().kind, Kind::none);
        ASSERT_TRUE(reader.append(second.data(), second.size()));
        const auto e = reader.next();
        EXPECT_EQ(e.kind, Kind::fail);
        EXPECT_EQ(e.code, 1009);
    }
    {
        // A full 2 MiB message is still accepted.
        WebSocketFrameReader reader;
        const std::string bytes = masked(0x81, std::string(maxWebSocketPayload, 'y'));
        ASSERT_TRUE(reader.append(bytes.data(), bytes.size()));
        const auto e = reader.next();
        EXPECT_EQ(e.kind, Kind::message);
        EXPECT_EQ(e.text.size(), maxWebSocketPayload);
    }
    {
        WebSocketFrameReader reader;
        const std::string filler(maxWebSocketBuffer, '\0');
        EXPECT_FALSE(reader.append(filler.data(), filler.size()));
    }
}

TEST(WebSocketFrameReader, ReplaysKeptFuzzInputs) {
    auto inputs = test::keptFuzzInputs("ws_frame");
    if (inputs.empty()) {
        GTEST_SKIP() << "no kept inputs";
    }
    for (auto& connection : inputs) {
        WebSocketFrameReader reader;
        bool ended = false;
        char chunk[64];
        while (!ended) {
            const long n = connection.receive(chunk, sizeof chunk);
            if (n <= 0 || !reader.append(chunk, static_cast<std::size_t>(n))) {
                break;
            }
            for (auto e = reader.next(); e.kind != Kind::none && !ended; e = reader.next()) {
                ended = e.kind == Kind::fail || e.kind == Kind::close;
            }
        }
    }
}

} // namespace
} // namespace kestravon::ruvi
