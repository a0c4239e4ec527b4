#include "remote/request_guard.h"

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

HttpRequest withHeaders(std::map<std::string, std::string> headers) {
    HttpRequest request;
    request.method = "GET";
    request.target = "/";
    request.headers = std::move(headers);
    return request;
}

TEST(RequestGuard, HostMustNameTheArrivalAddressAndPort) {
    struct Case {
        std::string host;
        bool loopbackOnly;
        bool passes;
    };
    const Case cases[] = {
        {"192.168.1.20:8080", false, true},
        {"192.168.1.21:8080", false, false}, // another address of this computer
        {"192.168.1.20:8081", false, false},
        {"192.168.1.20", false, false},
        {"localhost:8080", false, false},
        {"localhost:8080", true, true},
        {"LOCALHOST:8080", true, false},
        {"", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hostMatches(c.host, "192.168.1.20", 8080, c.loopbackOnly), c.passes) << c.host;
    }
}

TEST(RequestGuard, OriginAndFetchMetadata) {
    struct Case {
        std::map<std::string, std::string> headers;
        bool passes;
    };
    const std::string host = "127.0.0.1:8080";
    const Case cases[] = {
        {{{"host", host}}, true},
        {{{"host", host}, {"origin", "http://127.0.0.1:8080"}}, true},
        {{{"host", host}, {"origin", "https://127.0.0.1:8080"}}, false},
        {{{"host", host}, {"origin", "http://127.0.0.1:9090"}}, false},
        {{{"host", host}, {"origin", "http://127.0.0.1:8080/"}}, false},
        {{{"host", host}, {"origin", "null"}}, false},
        {{{"host", host}, {"sec-fetch-site", "same-origin"}}, true},
        {{{"host", host}, {"sec-fetch-site", "cross-site"}}, false},
        {{{"host", host}, {"origin", "http://127.0.0.1:8080"}, {"sec-fetch-site", "cross-site"}},
         false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(originAllowed(withHeaders(c.headers)), c.passes)
            << ::testing::PrintToString(c.headers);
    }
}

TEST(RequestGuard, JsonContentTypeAndBearer) {
    EXPECT_TRUE(
        isJsonContentType(withHeaders({{"content-type", "Application/JSON; charset=UTF-8"}})));
    EXPECT_TRUE(isJsonContentType(withHeaders({{"content-type", "application/json"}})));
    EXPECT_FALSE(isJsonContentType(withHeaders({{"content-type", "text/plain"}})));
    EXPECT_FALSE(isJsonContentType(withHeaders({})));

    const std::string token(64, 'a');
    EXPECT_EQ(bearerToken(withHeaders({{"authorization", "Bearer " + token}})), token);
    EXPECT_EQ(bearerToken(withHeaders({{"authorization", "bearer " + token}})), "");
    EXPECT_EQ(bearerToken(withHeaders({{"authorization", "Bearer " + token.substr(1)}})), "");
    EXPECT_EQ(bearerToken(withHeaders({})), "");
}

} // namespace
} // namespace kestravon::ruvi
