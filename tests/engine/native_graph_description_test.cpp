#include "engine/native_graph_description.h"

#include <functional>
#include <stdexcept>

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

std::string failure(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<accepted>";
}

TEST(NativeGraphDescription, ParameterIdsAreAsciiDecimalOnly) {
    EXPECT_EQ(parseParameterId("7"), 7u);
    EXPECT_EQ(parseParameterId("0007"), 7u);
    EXPECT_EQ(parseParameterId("4294967295"), 4294967295u);
    const struct {
        const char* key;
        const char* message;
    } refused[] = {
        {"", "invalid stoul argument"},
        {"+7", "invalid stoul argument"},
        {" 7", "invalid stoul argument"},
        {"7abc", "invalid stoul argument"},
        {"-1", "invalid stoul argument"},
        {"99999999999abc", "invalid stoul argument"},
        {"4294967296", "stoul argument out of range"},
        {"123456789012345678901234567890", "stoul argument out of range"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(failure([&] { parseParameterId(c.key); }), c.message);
    }
}

TEST(NativeGraphDescription, ModulePathsMustBeNonEmptyValidUtf8) {
    for (const char* path : {"/usr/lib/vst3/ZamComp.vst3", "/home/st\xC3\xA9phane/fx.vst3",
                             "/fx/\xE2\x82\xAC/\xF0\x9F\x8E\xB9.vst3"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(utf8ToWidePath(path), path);
    }
    for (const char* path : {"", "/fx/\xC3\x28", "/fx/\xC0\xAF", "/fx/\xED\xA0\x80",
                             "/fx/\xF4\x90\x80\x80", "/fx/\xE2\x82"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(failure([&] { utf8ToWidePath(path); }), "Invalid UTF-8 path");
    }
}

TEST(NativeGraphDescription, RangedNumbersAndLaneIndices) {
    const nlohmann::json object = {{"pan", 40}, {"big", 1e300}, {"text", "1"}};
    EXPECT_EQ(readRangedNumber(object, "pan", 0, -100, 100), 40.0);
    EXPECT_EQ(readRangedNumber(object, "absent", 3.5, 0, 1), 3.5) << "the default is not checked";
    EXPECT_EQ(failure([&] { readRangedNumber(object, "big", 0, -100, 100); }), "Invalid big");
    EXPECT_NE(failure([&] { readRangedNumber(object, "text", 0, -100, 100); }), "Invalid text");

    EXPECT_EQ(readLaneIndex(nlohmann::json(5u), 0, 255), 5);
    EXPECT_EQ(failure([&] { readLaneIndex(nlohmann::json(18446744073709551615u), 0, 255); }),
              "Audio lane/count out of range");
    EXPECT_EQ(failure([&] { readLaneIndex(nlohmann::json(-1), 0, 255); }),
              "Audio lane/count out of range");
    EXPECT_EQ(failure([&] { readLaneIndex(nlohmann::json(true), 0, 255); }),
              "Expected integer audio lane/count");
}

} // namespace
} // namespace kestravon::ruvi
