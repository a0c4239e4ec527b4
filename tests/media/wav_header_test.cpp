#include "media/wav_header.h"

#include "media/wav_file_stream.h"
#include "media/wav_memory_stream.h"
#include "wav_test_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

namespace kestravon::ruvi {
namespace {

using test::Bytes;
using test::TestChunk;
using test::TestFormat;

WavFileInfo parseBytes(const Bytes& bytes) {
    WavMemoryStream stream(bytes);
    return parseWavHeader(stream, bytes.size());
}

std::string refusalOf(const Bytes& bytes) {
    try {
        parseBytes(bytes);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "accepted";
}

TestFormat pcm(std::uint32_t bits, std::uint32_t channels = 1) {
    TestFormat f;
    f.bits = bits;
    f.channels = channels;
    return f;
}

TestFormat extensible(std::uint32_t bits, std::uint32_t channels, std::uint32_t mask) {
    TestFormat f = pcm(bits, channels);
    f.tag = 0xFFFE;
    f.channelMask = mask;
    return f;
}

TestChunk fmt(const TestFormat& f) {
    return {"fmt ", test::fmtBody(f)};
}
TestChunk data(std::size_t bytes) {
    return {"data", Bytes(bytes, 0x11)};
}
TestChunk fact(std::uint32_t count) {
    Bytes b;
    test::putU32(b, count);
    return {"fact", b};
}
TestChunk rf64Data() {
    return {"data", Bytes(8, 0), 0xFFFFFFFFu};
}

struct Refusal {
    const char* name;
    std::function<Bytes()> file;
    const char* message;
};

TEST(WavHeader, RefusesEveryMalformedFileWithItsMessage) {
    const TestFormat p16 = pcm(16);
    const auto withFormat = [](TestFormat f) {
        return [f] { return test::buildRiff({fmt(f), data(64)}); };
    };
    const std::vector<Refusal> cases = {
        {"shorter than a header", [] { return Bytes(43, 0); }, "WAV file too short"},
        {"big-endian RIFX",
         [&] {
             Bytes b = test::buildRiff({fmt(p16), data(8)});
             b[3] = 'X';
             return b;
         },
         "Only RIFF/RF64 WAVE files are supported"},
        {"not a WAVE form",
         [&] {
             return test::buildRiff({fmt(p16), data(8)}, {}, "AVI ");
         },
         "Only RIFF/RF64 WAVE files are supported"},
        {"bytes after the RIFF payload",
         [&] {
             Bytes b = test::buildRiff({fmt(p16), data(8)});
             b.push_back(0);
             return b;
         },
         "RIFF size does not match complete file"},
        {"truncated data",
         [&] {
             Bytes b = test::buildRiff({fmt(p16), data(64)});
             b.resize(b.size() - 10);
             return b;
         },
         "RIFF size does not match complete file"},
        {"RF64 without size sentinel",
         [&] {
             Bytes b = test::buildRf64({{}, 8, 4}, {fmt(p16), rf64Data()});
             b[4] = 0;
             return b;
         },
         "RF64 lacks RIFF size sentinel"},
        {"fewer than 8 bytes left for a chunk header",
         [&] {
             return test::withTrailer(test::buildRiff({fmt(p16), data(8)}), 4);
         },
         "Invalid/oversized WAV chunk catalogue"},
        {"more than 65536 chunks",
         [&] {
             std::vector<TestChunk> chunks(65536, TestChunk{"junk", Bytes{}});
             chunks.insert(chunks.begin(), {fmt(p16), data(8)});
             return test::buildRiff(chunks);
         },
         "Invalid/oversized WAV chunk catalogue"},
        {"extended size in a RIFF file",
         [&] {
             return test::buildRiff({fmt(p16), {"data", Bytes(8, 0), 0xFFFFFFFFu}});
         },
         "Unsupported RF64 extended chunk table"},
        {"extended size on an RF64 chunk other than data",
         [&] {
             return test::buildRf64({{}, 8, 4}, {{"LIST", Bytes(8, 0), 0xFFFFFFFFu}});
         },
         "Unsupported RF64 extended chunk table"},
        {"chunk larger than the payload",
         [&] {
             return test::buildRiff({fmt(p16), {"data", Bytes(8, 0), 100}});
         },
         "WAV chunk extends beyond RIFF boundary"},
        {"odd last chunk without its pad byte",
         [&] {
             return test::buildRiff({fmt(p16), data(8), {"junk", Bytes(3, 0), {}, false}});
         },
         "WAV chunk extends beyond RIFF boundary"},
        {"RF64 data size beyond the file",
         [&] {
             return test::buildRf64({{}, 4096, 0}, {fmt(p16), rf64Data()});
         },
         "WAV chunk extends beyond RIFF boundary"},
        {"ds64 in a RIFF file",
         [&] {
             return test::buildRiff({{"ds64", Bytes(28, 0)}, fmt(p16), data(8)});
         },
         "Unsupported/malformed RF64 ds64 chunk"},
        {"ds64 of the wrong size",
         [&] {
             return test::buildRawRf64({{"ds64", Bytes(24, 0)}, fmt(p16), data(8)});
         },
         "Unsupported/malformed RF64 ds64 chunk"},
        {"ds64 after another chunk",
         [&] {
             return test::buildRawRf64({{"junk", Bytes{}}, {"ds64", Bytes(28, 0)}, fmt(p16)});
         },
         "Unsupported/malformed RF64 ds64 chunk"},
        {"second ds64",
         [&] {
             return test::buildRf64({{}, 8, 4}, {{"ds64", Bytes(28, 0)}, fmt(p16)});
         },
         "Unsupported/malformed RF64 ds64 chunk"},
        {"ds64 RIFF size off by one",
         [&] {
             Bytes probe = test::buildRf64({{}, 8, 4}, {fmt(p16), rf64Data()});
             return test::buildRf64({probe.size() - 7, 8, 4}, {fmt(p16), rf64Data()});
         },
         "RF64 length/table is unsupported or corrupt"},
        {"ds64 RIFF size near 2^64",
         [&] {
             return test::buildRf64({~0ull - 3, 8, 4}, {fmt(p16), rf64Data()});
         },
         "RF64 length/table is unsupported or corrupt"},
        {"ds64 with a chunk table",
         [&] {
             return test::buildRf64({{}, 8, 4, 1}, {fmt(p16), rf64Data()});
         },
         "RF64 length/table is unsupported or corrupt"},
        {"format chunk too small",
         [&] {
             return test::buildRiff({{"fmt ", Bytes(14, 0)}, data(8)});
         },
         "Malformed/duplicate WAV format chunk"},
        {"format chunk too large",
         [&] {
             return test::buildRiff({{"fmt ", Bytes(4098, 0)}, data(8)});
         },
         "Malformed/duplicate WAV format chunk"},
        {"two format chunks",
         [&] {
             return test::buildRiff({fmt(p16), fmt(p16), data(8)});
         },
         "Malformed/duplicate WAV format chunk"},
        {"extensible chunk shorter than 40 bytes",
         [&] {
             Bytes body = test::fmtBody(extensible(16, 1, 0));
             body.resize(38);
             return test::buildRiff({{"fmt ", body}, data(8)});
         },
         "Unsupported WAV extensible subformat"},
        {"extensible extension below 22",
         [&] {
             TestFormat f = extensible(16, 1, 0);
             f.extensionSize = 0;
             return test::buildRiff({fmt(f), data(8)});
         },
         "Unsupported WAV extensible subformat"},
        {"extensible valid bits above the container",
         [&] {
             TestFormat f = extensible(16, 1, 0);
             f.validBits = 17;
             return test::buildRiff({fmt(f), data(8)});
         },
         "Unsupported WAV extensible subformat"},
        {"extensible foreign subformat GUID",
         [&] {
             TestFormat f = extensible(16, 1, 0);
             f.standardGuid = false;
             return test::buildRiff({fmt(f), data(8)});
         },
         "Unsupported WAV extensible subformat"},
        {"channel mask of two speakers on one channel", withFormat(extensible(16, 1, 0x3)),
         "WAV channel mask does not match channels"},
        {"16-bit with block align 3", withFormat([] {
             TestFormat f = pcm(16);
             f.blockAlign = 3;
             return f;
         }()),
         "Unsupported/corrupt WAV PCM format"},
        {"24-bit with byte rate off by one", withFormat([] {
             TestFormat f = pcm(24);
             f.byteRate = 48000 * 3 + 1;
             return f;
         }()),
         "Unsupported/corrupt WAV PCM format"},
        {"8-bit PCM", withFormat(pcm(8)), "Unsupported/corrupt WAV PCM format"},
        {"40-bit PCM", withFormat(pcm(40)), "Unsupported/corrupt WAV PCM format"},
        {"64-bit float", withFormat([] {
             TestFormat f = pcm(64);
             f.tag = 3;
             return f;
         }()),
         "Unsupported/corrupt WAV PCM format"},
        {"ADPCM tag", withFormat([] {
             TestFormat f = pcm(16);
             f.tag = 2;
             return f;
         }()),
         "Unsupported/corrupt WAV PCM format"},
        {"extensible float with 24 bits", withFormat([] {
             TestFormat f = extensible(24, 1, 0);
             f.subformatTag = 3;
             return f;
         }()),
         "Unsupported/corrupt WAV PCM format"},
        {"no channels", withFormat(pcm(16, 0)), "Unsupported/corrupt WAV PCM format"},
        {"129 channels", withFormat(pcm(16, 129)), "Unsupported/corrupt WAV PCM format"},
        {"rate 7999", withFormat([] {
             TestFormat f = pcm(16);
             f.rate = 7999;
             return f;
         }()),
         "Unsupported/corrupt WAV PCM format"},
        {"rate 192001", withFormat([] {
             TestFormat f = pcm(16);
             f.rate = 192001;
             return f;
         }()),
         "Unsupported/corrupt WAV PCM format"},
        {"fact chunk of 2 bytes",
         [&] {
             return test::buildRiff({fmt(p16), {"fact", Bytes(2, 0)}, data(8)});
         },
         "Malformed/duplicate WAV fact chunk"},
        {"two fact chunks",
         [&] {
             return test::buildRiff({fmt(p16), fact(4), fact(4), data(8)});
         },
         "Malformed/duplicate WAV fact chunk"},
        {"two data chunks",
         [&] {
             return test::buildRiff({fmt(p16), data(8), data(8)});
         },
         "Multiple WAV data chunks unsupported"},
        {"no data chunk",
         [&] {
             return test::buildRiff({fmt(p16), {"LIST", Bytes(20, 0)}});
         },
         "Incomplete/unaligned WAV payload"},
        {"no format chunk",
         [&] {
             return test::buildRiff({{"LIST", Bytes(8, 0)}, data(20)});
         },
         "Incomplete/unaligned WAV payload"},
        {"empty data chunk",
         [&] {
             return test::buildRiff({fmt(p16), {"LIST", Bytes(8, 0)}, data(0)});
         },
         "Incomplete/unaligned WAV payload"},
        {"data not a whole number of frames",
         [&] {
             return test::buildRiff({fmt(pcm(16, 2)), data(10)});
         },
         "Incomplete/unaligned WAV payload"},
        {"RF64 without ds64",
         [&] {
             return test::buildRawRf64({fmt(p16), data(16)});
         },
         "Incomplete/unaligned WAV payload"},
        {"RF64 sample count off",
         [&] {
             return test::buildRf64({{}, 8, 5}, {fmt(p16), rf64Data()});
         },
         "RF64 sample count does not match data"},
        {"fact count off",
         [&] {
             return test::buildRiff({fmt(p16), fact(5), data(8)});
         },
         "WAV fact sample count does not match data"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(refusalOf(c.file()), c.message) << c.name;
    }
}

TEST(WavHeader, ShortReadIsTruncated) {
    const Bytes file = test::buildRiff({fmt(pcm(16)), data(64)});
    // The stream holds less than the size the file system reported.
    const Bytes cut(file.begin(), file.begin() + 30);
    WavMemoryStream stream(cut);
    try {
        parseWavHeader(stream, file.size());
        FAIL() << "accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Truncated or unreadable WAV");
    }
}

struct Accepted {
    const char* name;
    Bytes file;
    std::uint32_t formatTag, bits, channels;
    std::uint64_t frames, dataOffset;
};

TEST(WavHeader, AcceptsEverySupportedLayout) {
    TestFormat f32 = pcm(32, 2);
    f32.tag = 3;
    TestFormat extFloat = extensible(32, 2, 0x3);
    extFloat.subformatTag = 3;
    const std::vector<Accepted> cases = {
        {"PCM 16", test::buildRiff({fmt(pcm(16)), data(20)}), 1, 16, 1, 10, 44},
        {"PCM 24 stereo", test::buildRiff({fmt(pcm(24, 2)), data(60)}), 1, 24, 2, 10, 44},
        {"PCM 32", test::buildRiff({fmt(pcm(32)), data(40)}), 1, 32, 1, 10, 44},
        {"float 32", test::buildRiff({fmt(f32), data(80)}), 3, 32, 2, 10, 44},
        {"extensible float", test::buildRiff({fmt(extFloat), data(80)}), 3, 32, 2, 10, 68},
        {"extensible, mask 0", test::buildRiff({fmt(extensible(24, 3, 0)), data(90)}), 1, 24, 3, 10,
         68},
        {"odd chunk with pad, then LIST, then data",
         test::buildRiff({fmt(pcm(16)), {"junk", Bytes(3, 7)}, {"LIST", Bytes(12, 0)}, data(4)}), 1,
         16, 1, 2, 44 + 12 + 20},
        {"fact count unknown", test::buildRiff({fmt(pcm(16)), fact(0xFFFFFFFFu), data(8)}), 1, 16,
         1, 4, 56},
        {"fact count matching", test::buildRiff({fmt(pcm(16)), fact(4), data(8)}), 1, 16, 1, 4, 56},
        {"RF64", test::buildRf64({{}, 8, 4}, {fmt(pcm(16)), rf64Data()}), 1, 16, 1, 4, 80},
        {"RF64 sample count 0", test::buildRf64({{}, 8, 0}, {fmt(pcm(16)), rf64Data()}), 1, 16, 1,
         4, 80},
        {"RF64 data with a 32-bit size", test::buildRf64({{}, 0, 0}, {fmt(pcm(16)), data(8)}), 1,
         16, 1, 4, 80},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WavFileInfo info;
        ASSERT_NO_THROW(info = parseBytes(c.file));
        EXPECT_EQ(info.formatTag, c.formatTag);
        EXPECT_EQ(info.bitsPerSample, c.bits);
        EXPECT_EQ(info.channels, c.channels);
        EXPECT_EQ(info.blockAlign, c.channels * c.bits / 8);
        EXPECT_EQ(info.frames, c.frames);
        EXPECT_EQ(info.dataOffset, c.dataOffset);
        EXPECT_EQ(info.dataBytes, c.frames * info.blockAlign);
        EXPECT_EQ(info.fileSize, c.file.size());
        EXPECT_EQ(info.sampleRate, 48000u);
    }
}

TEST(WavHeader, FileInspectionChecksPathAndFile) {
    test::TempDir dir;
    const std::string good = dir.write("tone.wav", test::buildRiff({fmt(pcm(24, 2)), data(600)}));
    const WavInspection in = inspectPlaybackWav(good);
    EXPECT_EQ(in.channels, 2u);
    EXPECT_EQ(in.sampleRate, 48000u);
    EXPECT_EQ(in.frames, 100u);

    const auto refusal = [](const std::string& path) -> std::string {
        try {
            inspectPlaybackWav(path);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "accepted";
    };
    EXPECT_EQ(refusal(""), "Invalid playback inspection path");
    EXPECT_EQ(refusal("/" + std::string(4096, 'a')), "Invalid playback inspection path");
    EXPECT_EQ(refusal(dir.file("missing.wav")), "Cannot open playback WAV for metadata inspection");
    EXPECT_EQ(refusal(dir.file("")), "Cannot open playback WAV for metadata inspection");
    EXPECT_EQ(refusal(dir.write("short.wav", Bytes(20, 0))), "WAV file too short");
}

TEST(WavHeader, StreamHelpersReportTheirFailures) {
    WavFileStream closed;
    const auto message = [](const std::function<void()>& f) -> std::string {
        try {
            f();
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "ok";
    };
    EXPECT_EQ(message([&] { seekWavStream(closed, 1ull << 63); }),
              "WAV offset exceeds file addressing");
    EXPECT_EQ(message([&] { seekWavStream(closed, 0); }), "WAV seek failed");
    EXPECT_THROW(parseWavHeader(closed, std::string("/nonexistent/ruvi.wav")),
                 std::filesystem::filesystem_error);
}

// Inputs the header fuzzer once crashed or hung on stay refused or parsed, never worse.
TEST(WavHeader, FuzzRegressionsParseCleanly) {
    const std::filesystem::path dir =
        std::filesystem::path(RUVI_SOURCE_DIR) / "fuzz" / "regressions" / "wav_header";
    if (!std::filesystem::exists(dir)) {
        return;
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        WavMemoryStream stream(bytes);
        try {
            parseWavHeader(stream, bytes.size());
        } catch (const std::runtime_error&) {
        }
    }
}

} // namespace
} // namespace kestravon::ruvi
