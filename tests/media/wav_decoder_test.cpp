#include "media/wav_decoder.h"

#include "wav_test_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace kestravon::ruvi {
namespace {

using test::Bytes;

WavFileInfo formatInfo(std::uint32_t tag, std::uint32_t bits) {
    WavFileInfo info;
    info.formatTag = tag;
    info.bitsPerSample = bits;
    info.channels = 1;
    info.blockAlign = bits / 8;
    return info;
}

TEST(WavDecoder, SampleConversionsHitTheirEndPoints) {
    struct Case {
        std::uint32_t bits;
        Bytes bytes;
        float expected;
    } cases[] = {
        {16, {0x00, 0x80}, -1.0f},
        {16, {0xFF, 0x7F}, 32767.0f / 32768.0f},
        {16, {0xFF, 0xFF}, -1.0f / 32768.0f},
        {24, {0xFF, 0xFF, 0x7F}, static_cast<float>(8388607 * std::ldexp(1.0, -23))},
        {24, {0x00, 0x00, 0x80}, -1.0f},
        {24, {0xFE, 0xFF, 0xFF}, static_cast<float>(-2 * std::ldexp(1.0, -23))},
        {32, {0x00, 0x00, 0x00, 0x80}, -1.0f},
        {32, {0xFF, 0xFF, 0xFF, 0x7F}, static_cast<float>(2147483647.0 * std::ldexp(1.0, -31))},
        {32, {0x01, 0x00, 0x00, 0x00}, static_cast<float>(std::ldexp(1.0, -31))},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeWavSample(c.bytes.data(), formatInfo(1, c.bits)), c.expected) << c.bits;
    }
    const float stored = -0.375f;
    std::uint8_t raw[4];
    std::memcpy(raw, &stored, 4);
    EXPECT_EQ(decodeWavSample(raw, formatInfo(3, 32)), stored);
}

TEST(WavDecoder, NonfiniteFloatIsRefusedWhenDecoded) {
    test::TempDir dir;
    test::TestFormat f;
    f.tag = 3;
    f.bits = 32;
    for (double bad :
         {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        const std::string path = dir.write("bad.wav", test::simpleWav(f, {0.5, 0.25, bad, 0.0}));
        try {
            decodeWavFile(path);
            FAIL() << "decoded a nonfinite sample";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "WAV contains nonfinite audio");
        }
    }
}

TEST(WavDecoder, DecodesSelectedChannelsOfInterleavedFrames) {
    test::TestFormat f;
    f.bits = 24;
    f.channels = 3;
    const std::vector<double> interleaved = {0.5, -0.5, 0.25, 0.125, -0.125, -1.0};
    const Bytes data = test::encodeSamples(f, interleaved);
    WavFileInfo info = formatInfo(1, 24);
    info.channels = 3;
    info.blockAlign = 9;
    float a[2], b[2];
    const std::uint32_t channels[] = {2, 0};
    float* outputs[] = {a, b};
    decodeWavChannels(data.data(), 2, info, channels, outputs);
    EXPECT_EQ(a[0], 0.25f);
    EXPECT_EQ(a[1], -1.0f);
    EXPECT_EQ(b[0], 0.5f);
    EXPECT_EQ(b[1], 0.125f);
}

std::vector<float> readRawFloats(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<float> out;
    float v;
    while (in.read(reinterpret_cast<char*>(&v), sizeof v)) {
        out.push_back(v);
    }
    return out;
}

// Files written by sox, compared with sox's own conversion of the same file to raw floats.
TEST(WavDecoderIntegration, MatchesSoxForEverySupportedFormat) {
    test::TempDir dir;
    struct Case {
        const char* name;
        const char* encoding;
        int channels;
    } cases[] = {
        {"pcm16", "-b 16 -e signed-integer", 2},
        {"pcm24", "-b 24 -e signed-integer", 3}, // sox writes more than two channels extensible
        {"pcm32", "-b 32 -e signed-integer", 1},
        {"float32", "-b 32 -e floating-point", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string wav = dir.file(std::string(c.name) + ".wav");
        const std::string raw = dir.file(std::string(c.name) + ".f32");
        const std::string make = "sox -D -n -r 44100 -c " + std::to_string(c.channels) + " " +
                                 c.encoding + " " + wav +
                                 " synth 0.25 sine 440 sine 1000 sine 3000 gain -3 2>/dev/null";
        ASSERT_EQ(std::system(make.c_str()), 0) << make;
        const std::string dump =
            "sox -D " + wav + " -t f32 -e floating-point " + raw + " 2>/dev/null";
        ASSERT_EQ(std::system(dump.c_str()), 0) << dump;

        const DecodedWav decoded = decodeWavFile(wav);
        const std::vector<float> reference = readRawFloats(raw);
        ASSERT_EQ(decoded.info.channels, static_cast<std::uint32_t>(c.channels));
        ASSERT_EQ(decoded.info.sampleRate, 44100u);
        ASSERT_EQ(decoded.info.frames * c.channels, reference.size());
        std::size_t differing = 0;
        double peak = 0;
        for (std::size_t i = 0; i < reference.size(); ++i) {
            const float mine = decoded.channels[i % c.channels][i / c.channels];
            differing += std::abs(mine - reference[i]) > 1e-7f;
            peak = std::max(peak, std::abs(static_cast<double>(mine)));
        }
        EXPECT_EQ(differing, 0u);
        EXPECT_GT(peak, 0.5); // the tone is really there
    }
}

} // namespace
} // namespace kestravon::ruvi
