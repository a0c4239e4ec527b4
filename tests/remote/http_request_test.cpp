#include "remote/http_request.h"
#include "remote/http_response.h"
#include "remote/memory_connection.h"
#include "remote_test_support.h"

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

bool readFrom(const std::vector<std::string>& chunks, HttpRequest& request) {
    MemoryConnection connection;
    for (const auto& chunk : chunks) {
        connection.pushInput(chunk);
    }
    return readHttpRequest(connection, request, nullptr);
}

bool accepts(const std::string& raw) {
    HttpRequest request;
    return readFrom({raw}, request);
}

// A GET whose header block (request line to the end of the last header line) is exactly n
// bytes, padded by one header.
std::string headerBlockOfSize(std::size_t n) {
    const std::string start = "GET / HTTP/1.1\r\nX-Pad: ";
    return start + std::string(n - start.size(), 'a') + "\r\n\r\n";
}

TEST(HttpRequestReader, ParsesMethodTargetHeadersAndBody) {
    HttpRequest request;
    ASSERT_TRUE(readFrom({"POST  /api/rpc?x=1   HTTP/1.1\r\nHost:127.0.0.1:80\r\n"
                          "Content-Type:   application/json  \r\nX-Tab: a\tb\r\n"
                          "Content-Length: 0012\r\n\r\n{\"a\":",
                          "12345}!"},
                         request));
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/api/rpc?x=1");
    EXPECT_EQ(request.body, "{\"a\":12345}!");
    EXPECT_EQ(request.headers.at("host"), "127.0.0.1:80");
    EXPECT_EQ(request.headers.at("content-type"), "application/json");
    EXPECT_EQ(request.headers.at("x-tab"), "a\tb");
}

TEST(HttpRequestReader, RequestLineAndHeaderRules) {
    struct Case {
        const char* raw;
        bool accepted;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", true},
        {"GET  /  HTTP/1.1 \r\n\r\n", true},
        {"get / HTTP/1.1\r\n\r\n", false},
        {"GET / HTTP/1.0\r\n\r\n", false},
        {"GET index.html HTTP/1.1\r\n\r\n", false},
        {"GET / HTTP/1.1 x\r\n\r\n", false},
        {"PUT / HTTP/1.1\r\n\r\n", false},
        {"GET /\x01 HTTP/1.1\r\n\r\n", false},
        {"GET / HTTP/1.1\r\nHost :a\r\n\r\n", false},
        {"GET / HTTP/1.1\r\n:a\r\n\r\n", false},
        {"GET / HTTP/1.1\r\nNoColon\r\n\r\n", false},
        {"GET / HTTP/1.1\r\nBad(Name): a\r\n\r\n", false},
        {"GET / HTTP/1.1\r\nX: a\x7f\r\n\r\n", false},
        {"GET / HTTP/1.1\r\nX: a\x0b\r\n\r\n", false},
        {"GET / HTTP/1.1\r\nX: caf\xc3\xa9\r\n\r\n", true},
        {"GET / HTTP/1.1\r\nContent-Type: a\r\ncontent-type: a\r\n\r\n", false},
        {"GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 0\r\n\r\n", false},
        {"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\n123456", false},
        {"POST / HTTP/1.1\r\nContent-Length: 00000000000\r\n\r\n", false},
        {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", false},
        {"POST / HTTP/1.1\r\nContent-Length: 1e3\r\n\r\n", false},
        {"POST / HTTP/1.1\r\nContent-Length: 2097153\r\n\r\n", false},
        {"POST / HTTP/1.1\r\nContent-Length:\r\n\r\n", false},
        {"POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nab", false}, // closed before the body
        {"GET / HTTP/1.1\r\nHost: a", false},                      // closed before the blank line
    };
    for (const auto& c : cases) {
        EXPECT_EQ(accepts(c.raw), c.accepted) << c.raw;
    }
}

TEST(HttpRequestReader, TargetAndBodyLimits) {
    EXPECT_TRUE(accepts("GET /" + std::string(2047, 'a') + " HTTP/1.1\r\n\r\n"));
    EXPECT_FALSE(accepts("GET /" + std::string(2048, 'a') + " HTTP/1.1\r\n\r\n"));

    HttpRequest request;
    const std::string body(2097152, 'b');
    std::vector<std::string> chunks = {"POST / HTTP/1.1\r\nContent-Length: 2097152\r\n\r\n"};
    for (std::size_t i = 0; i < body.size(); i += 100000) {
        chunks.push_back(body.substr(i, 100000));
    }
    ASSERT_TRUE(readFrom(chunks, request));
    EXPECT_EQ(request.body.size(), 2097152u);
}

TEST(HttpRequestReader, HeaderBlockEdgeAt8192Bytes) {
    const std::string exact = headerBlockOfSize(8192);
    ASSERT_EQ(exact.find("\r\n\r\n"), 8192u);
    EXPECT_TRUE(accepts(exact));
    EXPECT_FALSE(accepts(headerBlockOfSize(8193)));

    // The final line feed arrives in a later read, after more than 8192 bytes were buffered.
    HttpRequest request;
    EXPECT_TRUE(readFrom({exact.substr(0, exact.size() - 1), "\n"}, request));
    // The terminator split in the middle.
    EXPECT_TRUE(readFrom({exact.substr(0, 8193), exact.substr(8193)}, request));
    // Byte by byte across the whole terminator.
    std::vector<std::string> bytes = {exact.substr(0, 8190)};
    for (std::size_t i = 8190; i < exact.size(); ++i) {
        bytes.push_back(exact.substr(i, 1));
    }
    EXPECT_TRUE(readFrom(bytes, request));
}

TEST(HttpRequestReader, RefusesUnterminatedHeadersOnceOverTheBound) {
    MemoryConnection connection;
    connection.pushInput("GET / HTTP/1.1\r\nX: " + std::string(16385, 'a'));
    // More input would follow, but the reader must stop at the bound, not wait for it.
    connection.pushInput("\r\n\r\n");
    HttpRequest request;
    EXPECT_FALSE(readHttpRequest(connection, request, nullptr));
}

TEST(HttpRequestReader, AbortFlagEndsTheWait) {
    MemoryConnection connection;
    connection.pushInput("GET / HTTP/1.1\r\n\r\n");
    std::atomic<bool> running{false};
    HttpRequest request;
    EXPECT_FALSE(readHttpRequest(connection, request, &running));
}

TEST(HttpHeaderHelpers, TokensTrimAndCase) {
    EXPECT_TRUE(headerHasToken("keep-alive, Upgrade", "upgrade"));
    EXPECT_TRUE(headerHasToken(" UPGRADE\t", "upgrade"));
    EXPECT_FALSE(headerHasToken("upgrades, keep-alive", "upgrade"));
    EXPECT_FALSE(headerHasToken("", "upgrade"));
    EXPECT_EQ(trimHeaderValue(" \t a b \t"), "a b");
    EXPECT_EQ(trimHeaderValue(" \t "), "");
    EXPECT_EQ(toLowerAscii("AbC\xc3\x89"), "abc\xc3\x89");
}

TEST(HttpResponseWriter, FixedHeadersAndByteLength) {
    MemoryConnection connection;
    writeHttpResponse(connection, 404, "application/json", "{\"error\":\"Not found\"}", nullptr);
    const std::string& out = connection.output();
    EXPECT_EQ(out.rfind("HTTP/1.1 404 Error\r\n", 0), 0u);
    EXPECT_NE(out.find("\r\nConnection: close\r\n"), std::string::npos);
    EXPECT_NE(
        out.find("\r\nContent-Security-Policy: " + std::string(contentSecurityPolicy) + "\r\n\r\n"),
        std::string::npos);

    const std::string ok = buildHttpResponse(200, "text/html; charset=utf-8", "h\xc3\xa9");
    EXPECT_EQ(ok.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                       "Content-Length: 3\r\n",
                       0),
              0u);
    EXPECT_EQ(ok.substr(ok.size() - 3), "h\xc3\xa9");
}

TEST(HttpRequestReader, ReplaysKeptFuzzInputs) {
    auto inputs = test::keptFuzzInputs("http_request");
    if (inputs.empty()) {
        GTEST_SKIP() << "no kept inputs";
    }
    for (auto& connection : inputs) {
        HttpRequest request;
        (void)readHttpRequest(connection, request, nullptr);
    }
}

} // namespace
} // namespace kestravon::ruvi
