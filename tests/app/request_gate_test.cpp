// The request envelope and the gate, through handleRequest only.

#include "app/application.h"
#include "app/application_impl.h"

#include "audio/endpoint_catalogue.h"
#include "audio/virtual_endpoints.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

std::unique_ptr<Application> headlessApplication() {
    auto set = std::make_shared<VirtualEndpointSet>();
    return std::make_unique<Application>(std::make_shared<EndpointCatalogue>(
        std::vector<std::shared_ptr<AudioEndpointProvider>>{set}));
}

TEST(RequestGate, EnvelopeReadsIdMethodAndParams) {
    auto app = headlessApplication();
    struct Case {
        const char* request;
        const char* reply; // expected reply, or "" to check only that it has an error
    };
    const Case cases[] = {
        {R"({"method": "Status"})",
         R"({"id": 0, "ok": false, "error": "Native method not implemented: Status"})"},
        {R"({"id": -5, "method": "nonsense"})",
         R"({"id": -5, "ok": false, "error": "Native method not implemented: nonsense"})"},
        {R"({"id": 7})", ""},
        {R"({"id": 8, "method": 3})", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        const Json reply = app->handleRequest(Json::parse(c.request));
        if (*c.reply != '\0') {
            EXPECT_EQ(reply, Json::parse(c.reply));
        } else {
            EXPECT_FALSE(reply.at("ok").get<bool>());
            EXPECT_FALSE(reply.at("error").get<std::string>().empty());
            EXPECT_FALSE(reply.contains("result"));
        }
    }
    // A missing "method" reads as the library's key-not-found text, which names the key.
    const Json reply = app->handleRequest(Json::parse(R"({"id": 7})"));
    EXPECT_EQ(reply.at("id"), 7);
    EXPECT_NE(reply.at("error").get<std::string>().find("method"), std::string::npos);
}

TEST(RequestGate, IdsThatAreNotSigned32BitIntegersAreRefusedBeforeAnyReply) {
    auto app = headlessApplication();
    for (const char* request :
         {R"({"id": 4294967296, "method": "status"})", R"({"id": 7.5, "method": "status"})",
          R"({"id": true, "method": "status"})", R"({"id": "7", "method": "status"})",
          R"({"id": 2147483648, "method": "status"})", R"([1, 2])"}) {
        SCOPED_TRACE(request);
        try {
            (void)app->handleRequest(Json::parse(request));
            ADD_FAILURE() << "no refusal";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Invalid request id");
        }
    }
    EXPECT_EQ(app->handleRequest(Json::parse(R"({"id": -2147483648, "method": "x"})")).at("id"),
              -2147483648LL);
}

} // namespace
} // namespace kestravon::ruvi
