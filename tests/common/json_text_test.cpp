// Writing JSON with one member given as text: the same bytes as dump() of the whole value.

#include "common/json_text.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

TEST(JsonText, TheMemberTextLandsWhereDumpWouldWriteTheMember) {
    struct Case {
        const char* value;
        std::initializer_list<std::string_view> path;
        const char* key;
        const char* member;
    };
    const Case cases[] = {
        {R"({})", {}, "b", R"([1,2])"},
        {R"({"a":1,"c":2})", {}, "b", R"({"x":null})"},
        {R"({"a":1})", {}, "z", R"("last")"},
        {R"({"z":1})", {}, "a", R"(0.5)"},
        // A member already there is replaced, not written twice.
        {R"({"a":1,"b":"old","c":[]})", {}, "b", R"("new")"},
        // Keys sort byte by byte: upper case before lower case, multi-byte after both.
        {R"({"B":1,"a":2,"é":3})", {}, "C", R"(true)"},
        {R"({"B":1,"a":2,"é":3})", {}, "ü", R"(false)"},
        // Keys and the other values keep the library's escapes.
        {R"({"q\"uote":"tab\there","\u0001":"é"})", {}, "a\"b", R"("\u0002")"},
        // The reply shape: the document goes into "result", after "revision" and "status".
        {R"({"id":0,"ok":true,"result":{"revision":3,"status":{"meters":[1.5,{"y":null}]}}})",
         {"result"},
         "uiState",
         R"({"channels":[{"id":"in1","level":-10.0,"name":"Gitarre \"links\""}]})"},
        // Two levels down, beside members that sort after the new one.
        {R"({"result":{"status":{"a":1,"z":2}},"type":"state"})",
         {"result", "status"},
         "remote",
         R"({"enabled":false})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.value) + " + " + c.key);
        const Json value = Json::parse(c.value);
        Json expected = value;
        Json* target = &expected;
        for (const std::string_view name : c.path) {
            target = &(*target)[std::string(name)];
        }
        (*target)[c.key] = Json::parse(c.member);
        EXPECT_EQ(dumpWithMemberText(value, c.path, c.key, Json::parse(c.member).dump()),
                  expected.dump());
    }
}

TEST(JsonText, APathThatNamesNoObjectIsRefused) {
    const Json value = Json::parse(R"({"result":{"status":[1]},"n":null})");
    const std::initializer_list<std::string_view> paths[] = {
        {"missing"}, {"n"}, {"result", "status"}, {"result", "status", "x"}};
    for (const auto& path : paths) {
        EXPECT_THROW((void)dumpWithMemberText(value, path, "k", "1"), std::invalid_argument);
    }
    EXPECT_THROW((void)dumpWithMemberText(Json::array(), {}, "k", "1"), std::invalid_argument);
}

} // namespace
} // namespace kestravon::ruvi
