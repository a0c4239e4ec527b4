#include "vst3/vst3_state_blob.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kestravon::ruvi {
namespace {

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

TEST(Vst3StateBlob, LayoutByteForByte) {
    const std::vector<std::uint8_t> component = bytesOf("abc");
    const std::vector<std::uint8_t> controller = bytesOf("XY");
    Vst3StateBlob blob;
    for (std::size_t i = 0; i < 16; ++i) {
        blob.classId[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    blob.component = component;
    blob.controller = controller;
    const std::vector<std::uint8_t> expected = {
        'K',  'V',  'X',  'S',  'S',  'T',  '3',  0x01, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4,
        0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF, 3,    0,
        0,    0,    2,    0,    0,    0,    'a',  'b',  'c',  'X',  'Y'};
    const std::vector<std::uint8_t> encoded = blob.encode();
    EXPECT_EQ(encoded, expected);

    const Vst3StateBlob parsed = Vst3StateBlob::parse(encoded);
    EXPECT_EQ(parsed.classId, blob.classId);
    EXPECT_EQ(std::vector<std::uint8_t>(parsed.component.begin(), parsed.component.end()),
              component);
    EXPECT_EQ(std::vector<std::uint8_t>(parsed.controller.begin(), parsed.controller.end()),
              controller);

    std::vector<std::uint8_t> little;
    appendU32le(little, 0x01020304u);
    EXPECT_EQ(little, (std::vector<std::uint8_t>{4, 3, 2, 1}));
}

TEST(Vst3StateBlob, Refusals) {
    Vst3StateBlob empty;
    const std::vector<std::uint8_t> good = empty.encode();
    ASSERT_EQ(good.size(), 32u);
    EXPECT_NO_THROW(Vst3StateBlob::parse(good));

    auto withByte = [&](std::size_t at, std::uint8_t value) {
        std::vector<std::uint8_t> bytes = good;
        bytes[at] = value;
        return bytes;
    };
    std::vector<std::uint8_t> trailing = good;
    trailing.push_back(0);
    std::vector<std::uint8_t> huge = good;
    huge[27] = 0x01; // component length 16 MiB + ...
    huge[24] = 0x01;
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"short", std::vector<std::uint8_t>(good.begin(), good.begin() + 31),
         "Invalid or mismatched VST3 host state."},
        {"magic", withByte(0, 'k'), "Invalid or mismatched VST3 host state."},
        {"version", withByte(7, 0x02), "Invalid or mismatched VST3 host state."},
        {"trailing byte", trailing, "Invalid VST3 state lengths."},
        {"length past end", withByte(28, 1), "Invalid VST3 state lengths."},
        {"length above bound", huge, "Invalid VST3 state lengths."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            Vst3StateBlob::parse(c.bytes);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& failure) {
            EXPECT_STREQ(failure.what(), c.message);
        }
    }
}

TEST(Vst3StateBlob, StateHex) {
    const std::vector<std::uint8_t> bytes = {0x00, 0x0f, 0xa0, 0xff};
    EXPECT_EQ(stateHex(bytes), "000fa0ff");
    EXPECT_EQ(parseStateHex("000fa0ff"), bytes);
    EXPECT_TRUE(parseStateHex("").empty());

    struct Case {
        std::string text;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"000FA0FF", "Invalid VST state encoding"},
        {"0g", "Invalid VST state encoding"},
        {"0 ", "Invalid VST state encoding"},
        {std::string("0\0", 2), "Invalid VST state encoding"},
        {"000", "Invalid bounded VST state"},
        {std::string(33554434, '0'), "Invalid bounded VST state"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 16));
        try {
            parseStateHex(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& failure) {
            EXPECT_STREQ(failure.what(), c.message);
        }
    }
    EXPECT_EQ(parseStateHex(std::string(33554432, 'f')).size(), 16777216u);
}

} // namespace
} // namespace kestravon::ruvi
