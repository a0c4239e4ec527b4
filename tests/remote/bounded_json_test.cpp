#include "remote/bounded_json.h"

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

std::string nestedArrays(int depth, const std::string& inner) {
    return std::string(static_cast<std::size_t>(depth), '[') + inner +
           std::string(static_cast<std::size_t>(depth), ']');
}

std::string nestedObjects(int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) {
        text += "{\"a\":";
    }
    text += "1";
    for (int i = 0; i < depth; ++i) {
        text += "}";
    }
    return text;
}

std::string nestingError(const std::string& text) {
    try {
        (void)boundedJson(text);
    } catch (const nlohmann::json::exception&) {
        return "parse";
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(BoundedJson, CountsNestedContainers) {
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {nestedArrays(64, "1"), ""},
        {nestedArrays(64, ""), ""},
        {nestedArrays(65, "1"), "JSON nesting limit"},
        {nestedArrays(65, ""), "JSON nesting limit"},
        {nestedObjects(64), ""},
        {nestedObjects(65), "JSON nesting limit"},
        {nestedArrays(63, "{}"), ""},
        {nestedArrays(64, "{}"), "JSON nesting limit"},
        {"\"scalar\"", ""},
        {"{\"a\":", "parse"},
        // Far deeper than any stack would allow a recursive walk: refused, not a crash.
        {std::string(2000000, '['), "JSON nesting limit"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(nestingError(c.text), c.error) << c.text.substr(0, 80);
    }
    EXPECT_EQ(boundedJson(nestedArrays(64, "7")).dump(), nestedArrays(64, "7"));
}

} // namespace
} // namespace kestravon::ruvi
