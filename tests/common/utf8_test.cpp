#include "common/utf8.h"

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

// Each case: the input, whether it is strict UTF-8, and what the lenient repair makes of it.
TEST(Utf8, StrictValidationAndLenientRepair) {
    struct Case {
        std::string text;
        bool valid;
        std::string repaired;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"", true, ""},
        {"alsa:hw:CARD=PCH,DEV=0", true, "alsa:hw:CARD=PCH,DEV=0"},
        {"\xC3\xA9", true, "\xC3\xA9"},
        {"\xE2\x82\xAC \xF0\x9F\x8E\xB5", true, "\xE2\x82\xAC \xF0\x9F\x8E\xB5"},
        {"\xF4\x8F\xBF\xBF", true, "\xF4\x8F\xBF\xBF"},         // U+10FFFF, the last code point
        {"\xC0\xAF", false, fffd + fffd},                       // overlong two-byte form
        {"\xE0\x80\xAF", false, fffd + fffd + fffd},            // overlong three-byte form
        {"\xF0\x8F\xBF\xBF", false, fffd + fffd + fffd + fffd}, // overlong four-byte form
        {"\xED\xA0\x80", false, fffd + fffd + fffd},            // surrogate
        {"\xF4\x90\x80\x80", false, fffd + fffd + fffd + fffd}, // above U+10FFFF
        {"\xC3", false, fffd},                                  // truncated at the end
        {"\xE2\x82", false, fffd + fffd},
        {"\x80", false, fffd},           // lone continuation
        {"\xC3\x28", false, fffd + "("}, // lead without continuation
        {"ok\xFFok", false, "ok" + fffd + "ok"},
        {std::string("a\0b", 3), true, std::string("a\0b", 3)}, // NUL is a code point
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isValidUtf8(c.text), c.valid) << ::testing::PrintToString(c.text);
        const std::string repaired = repairUtf8(c.text);
        EXPECT_EQ(repaired, c.repaired) << ::testing::PrintToString(c.text);
        EXPECT_TRUE(isValidUtf8(repaired)) << ::testing::PrintToString(c.text);
    }
}

} // namespace
} // namespace kestravon::ruvi
