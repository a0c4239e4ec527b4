#include "audio/device_format.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

struct FormatCase {
    const char* what;
    WaveFormat wave;
    bool accepted;
    bool isFloat = false;
    int bytes = 0;
    int valid = 0;
};

WaveFormat edited(WaveFormat w, void (*edit)(WaveFormat&)) {
    edit(w);
    return w;
}

TEST(DeviceFormat, AcceptanceTable) {
    const std::vector<FormatCase> cases = {
        {"float32 extensible", makeWaveFormat(true, 2, 48000, 32), true, true, 4, 32},
        {"float64 plain", makeWaveFormat(true, 2, 48000, 64, 0, false), true, true, 8, 64},
        {"pcm16 plain", makeWaveFormat(false, 1, 44100, 16, 0, false), true, false, 2, 16},
        {"pcm24 packed", makeWaveFormat(false, 2, 96000, 24), true, false, 3, 24},
        {"pcm32", makeWaveFormat(false, 8, 192000, 32), true, false, 4, 32},
        {"24 valid in 32", makeWaveFormat(false, 2, 48000, 32, 24), true, false, 4, 24},
        {"64 channels", makeWaveFormat(true, 64, 8000, 32), true, true, 4, 32},
        {"8-bit pcm", makeWaveFormat(false, 2, 48000, 8, 0, false), false},
        {"no channels", makeWaveFormat(true, 0, 48000, 32), false},
        {"65 channels", makeWaveFormat(true, 65, 48000, 32), false},
        {"rate 7999", makeWaveFormat(true, 2, 7999, 32), false},
        {"rate 192001", makeWaveFormat(true, 2, 192001, 32), false},
        {"float with 24 valid bits", makeWaveFormat(true, 2, 48000, 32, 24), false},
        {"float16", makeWaveFormat(true, 2, 48000, 16, 0, false), false},
        {"valid above container", makeWaveFormat(false, 2, 48000, 16, 20), false},
        {"bad block align",
         edited(makeWaveFormat(false, 2, 48000, 16), [](WaveFormat& w) { w.nBlockAlign = 8; }),
         false},
        {"bad byte rate",
         edited(makeWaveFormat(false, 2, 48000, 16), [](WaveFormat& w) { w.nAvgBytesPerSec++; }),
         false},
        {"20-bit container",
         edited(makeWaveFormat(false, 2, 48000, 16),
                [](WaveFormat& w) {
                    w.wBitsPerSample = 20;
                    w.wValidBitsPerSample = 20;
                }),
         false},
        {"short extension",
         edited(makeWaveFormat(true, 2, 48000, 32), [](WaveFormat& w) { w.cbSize = 21; }), false},
        {"unknown subformat",
         edited(makeWaveFormat(true, 2, 48000, 32),
                [](WaveFormat& w) { w.SubFormat.data1 = 0x55; }),
         false},
        {"unknown tag",
         edited(makeWaveFormat(false, 2, 48000, 16, 0, false),
                [](WaveFormat& w) { w.wFormatTag = 0x55; }),
         false},
    };
    for (const FormatCase& c : cases) {
        DeviceFormat out;
        EXPECT_EQ(checkDeviceFormat(out, &c.wave), c.accepted) << c.what;
        if (c.accepted) {
            EXPECT_EQ(out.isFloat, c.isFloat) << c.what;
            EXPECT_EQ(out.bytesPerSample, c.bytes) << c.what;
            EXPECT_EQ(out.validBits, c.valid) << c.what;
            EXPECT_EQ(out.channels, c.wave.nChannels) << c.what;
            EXPECT_EQ(out.sampleRate, static_cast<int>(c.wave.nSamplesPerSec)) << c.what;
        }
    }
    DeviceFormat out;
    EXPECT_FALSE(checkDeviceFormat(out, nullptr));
}

TEST(DeviceFormat, CopyKeepsOnlyThePresentExtension) {
    WaveFormat w = makeWaveFormat(false, 2, 48000, 16, 0, false);
    w.wValidBitsPerSample = 12; // stray bytes beyond a plain header are not part of the record
    DeviceFormat out;
    ASSERT_TRUE(checkDeviceFormat(out, &w));
    EXPECT_EQ(out.wave.wValidBitsPerSample, 0);
    EXPECT_EQ(out.validBits, 16);
}

DeviceFormat formatOf(bool isFloat, int bits, int valid = 0) {
    DeviceFormat f;
    const WaveFormat w = makeWaveFormat(isFloat, 1, 48000, bits, valid);
    EXPECT_TRUE(checkDeviceFormat(f, &w));
    return f;
}

std::int64_t encodedInteger(const DeviceFormat& f, float v) {
    std::uint8_t bytes[8] = {};
    encodeDeviceSample(f, v, bytes);
    std::uint32_t u = 0;
    for (int i = 0; i < f.bytesPerSample; ++i) {
        u |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
    }
    const int shift = 32 - 8 * f.bytesPerSample;
    return static_cast<std::int32_t>(u << shift) >> shift;
}

TEST(DeviceFormat, IntegerEncodingTable) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        int bits, valid;
        float in;
        std::int64_t out;
    };
    const std::vector<Case> cases = {
        {16, 0, 1.0f, 32767},
        {16, 0, -1.0f, -32768},
        {16, 0, 0.5f, 16384},
        {16, 0, 2.0f, 32767},
        {16, 0, -3.0f, -32768},
        {16, 0, nan, 0},
        {16, 0, inf, 0},
        {16, 0, 1.5f / 32768.0f, 2}, // nearest even
        {24, 0, 1.0f, 8388607},
        {24, 0, -1.0f, -8388608},
        {24, 0, -0.25f, -2097152},
        {32, 0, 1.0f, 2147483647},
        {32, 0, -1.0f, -2147483647 - 1},
        {32, 0, 4.0f, 2147483647},
        {32, 0, 0.5f, 1073741824},
        {32, 24, 1.0f, 8388607LL << 8},
        {32, 24, -1.0f, -8388608LL << 8},
        {32, 24, 0.5f, 4194304LL << 8},
        {32, 20, 1.0f, 524287LL << 12},
    };
    for (const Case& c : cases) {
        const DeviceFormat f = formatOf(false, c.bits, c.valid);
        EXPECT_EQ(encodedInteger(f, c.in), c.out)
            << c.bits << "/" << c.valid << " bits, value " << c.in;
    }
}

TEST(DeviceFormat, DecodingTable) {
    struct Case {
        int bits;
        std::vector<std::uint8_t> bytes;
        float out;
    };
    const std::vector<Case> cases = {
        {16, {0xFF, 0x7F}, 32767.0f / 32768.0f}, {16, {0x00, 0x80}, -1.0f},
        {24, {0x00, 0x00, 0x80}, -1.0f},         {24, {0x00, 0x00, 0x40}, 0.5f},
        {32, {0x00, 0x00, 0x00, 0x80}, -1.0f},   {32, {0x00, 0x00, 0x00, 0x40}, 0.5f},
    };
    for (const Case& c : cases) {
        EXPECT_FLOAT_EQ(decodeDeviceSample(formatOf(false, c.bits), c.bytes.data()), c.out)
            << c.bits;
    }
    // 24 valid bits left-justified in 32 decode without a shift.
    const DeviceFormat f24in32 = formatOf(false, 32, 24);
    std::uint8_t bytes[8];
    encodeDeviceSample(f24in32, -0.75f, bytes);
    EXPECT_FLOAT_EQ(decodeDeviceSample(f24in32, bytes), -0.75f);

    const DeviceFormat f32 = formatOf(true, 32);
    const DeviceFormat f64 = formatOf(true, 64);
    for (const double v : {0.25, -1.5, std::nan(""), 1e300, -1e300, HUGE_VAL}) {
        const bool representable = std::isfinite(v) && std::fabs(v) < 1e38;
        std::memcpy(bytes, &v, 8);
        EXPECT_EQ(decodeDeviceSample(f64, bytes), representable ? static_cast<float>(v) : 0.0f)
            << v;
        const float f = static_cast<float>(v);
        std::memcpy(bytes, &f, 4);
        EXPECT_EQ(decodeDeviceSample(f32, bytes), representable ? f : 0.0f) << v;
    }
}

TEST(DeviceFormat, FloatRoundTripAndSanitising) {
    std::uint8_t bytes[8];
    const DeviceFormat f64 = formatOf(true, 64);
    encodeDeviceSample(f64, 0.1f, bytes);
    double d;
    std::memcpy(&d, bytes, 8);
    EXPECT_EQ(d, static_cast<double>(0.1f));
    const DeviceFormat f32 = formatOf(true, 32);
    encodeDeviceSample(f32, std::numeric_limits<float>::quiet_NaN(), bytes);
    EXPECT_EQ(decodeDeviceSample(f32, bytes), 0.0f);
    encodeDeviceSample(f32, 3.0f, bytes); // floats are not clipped
    EXPECT_EQ(decodeDeviceSample(f32, bytes), 3.0f);
}

} // namespace
} // namespace kestravon::ruvi
