#include "media/take_wav_header.h"

#include "media/take_file_io.h"
#include "tests/support/recorder_test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace kestravon::ruvi {
namespace {

using testing::readWholeFile;
using testing::TakeTempDir;

WavHeaderBytes fromHex(const std::string& text) {
    std::string digits;
    for (const char c : text) {
        if (c != ' ') {
            digits += c;
        }
    }
    WavHeaderBytes bytes{};
    if (digits.size() != bytes.size() * 2) {
        throw std::invalid_argument("header literal must hold 92 bytes");
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(std::stoul(digits.substr(i * 2, 2), nullptr, 16));
    }
    return bytes;
}

struct HeaderCase {
    const char* label;
    std::uint32_t rate;
    std::uint32_t channels;
    std::uint64_t frames;
    const char* hex;
};

// Offsets: RIFF/RF64, size, WAVE, JUNK/ds64, 28, three 64-bit ds64 sizes, table length, fmt
// chunk, fact chunk, data chunk header.
const HeaderCase kHeaderCases[] = {
    {"empty mono track", 48000, 1, 0,
     "52494646 54000000 57415645 4A554E4B 1C000000 0000000000000000 0000000000000000 "
     "0000000000000000 00000000 666D7420 10000000 0300 0100 80BB0000 00EE0200 0400 2000 "
     "66616374 04000000 00000000 64617461 00000000"},
    {"stereo 1000 frames", 48000, 2, 1000,
     "52494646 941F0000 57415645 4A554E4B 1C000000 0000000000000000 0000000000000000 "
     "0000000000000000 00000000 666D7420 10000000 0300 0200 80BB0000 00DC0500 0800 2000 "
     "66616374 04000000 E8030000 64617461 401F0000"},
    {"largest RIFF", 48000, 1, 1073741802,
     "52494646 FCFFFFFF 57415645 4A554E4B 1C000000 0000000000000000 0000000000000000 "
     "0000000000000000 00000000 666D7420 10000000 0300 0100 80BB0000 00EE0200 0400 2000 "
     "66616374 04000000 EAFFFF3F 64617461 A8FFFFFF"},
    {"first RF64", 48000, 1, 1073741803,
     "52463634 FFFFFFFF 57415645 64733634 1C000000 0000000001000000 ACFFFFFF00000000 "
     "EBFFFF3F00000000 00000000 666D7420 10000000 0300 0100 80BB0000 00EE0200 0400 2000 "
     "66616374 04000000 EBFFFF3F 64617461 FFFFFFFF"},
    {"frame count past 32 bits", 96000, 2, 0x100000005ULL,
     "52463634 FFFFFFFF 57415645 64733634 1C000000 7C00000008000000 2800000008000000 "
     "0500000001000000 00000000 666D7420 10000000 0300 0200 00770100 00B80B00 0800 2000 "
     "66616374 04000000 FFFFFFFF 64617461 FFFFFFFF"},
};

TEST(TakeWavHeader, MatchesTheLayoutByteForByte) {
    for (const HeaderCase& c : kHeaderCases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(makeWavHeader(c.rate, c.channels, c.frames), fromHex(c.hex));
    }
}

TEST(TakeWavHeader, RewritesInPlaceAndLeavesThePositionAtTheDataEnd) {
    TakeTempDir dir;
    const RecordingFile file = openRecordingFile(dir / "a.wav");
    writeWavHeader(file, 48000, 2, 0);
    const float samples[4] = {0.5f, -0.5f, 0.25f, -0.25f};
    writeRecordingBytes(file, samples, sizeof samples);
    writeWavHeader(file, 48000, 2, 2);
    EXPECT_EQ(::lseek(file.fd(), 0, SEEK_CUR), 92 + 16);

    const std::string bytes = readWholeFile(dir / "a.wav");
    ASSERT_EQ(bytes.size(), 92u + 16u);
    const WavHeaderBytes expected = makeWavHeader(48000, 2, 2);
    EXPECT_EQ(bytes.substr(0, 92), std::string(expected.begin(), expected.end()));
}

// A sparse file reaches the RF64 sizes without writing 4 GiB: the data end lies past 32 bits.
TEST(TakeWavHeader, SeeksPastFourGibibytesForRf64Sizes) {
    TakeTempDir dir;
    const RecordingFile file = openRecordingFile(dir / "big.wav");
    const std::uint64_t frames = 1073741803;
    writeWavHeader(file, 48000, 1, frames);
    const float tail = 1.0f;
    writeRecordingBytes(file, &tail, sizeof tail);

    struct stat info {};
    ASSERT_EQ(::fstat(file.fd(), &info), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(info.st_size), 92 + frames * 4 + 4);
    EXPECT_LT(info.st_blocks, 1024); // sparse: only the header and the tail hold blocks
    const WavHeaderBytes expected = makeWavHeader(48000, 1, frames);
    char head[92];
    ASSERT_EQ(::pread(file.fd(), head, sizeof head, 0), 92);
    EXPECT_TRUE(
        std::equal(expected.begin(), expected.end(), reinterpret_cast<std::uint8_t*>(head)));
}

TEST(TakeWavHeader, ReportsSeekAndWriteFailuresWithTheSystemError) {
    TakeTempDir dir;
    { const RecordingFile created = openRecordingFile(dir / "ro.wav"); }
    const RecordingFile readOnly(::open((dir / "ro.wav").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(readOnly.isOpen());
    try {
        writeWavHeader(readOnly, 48000, 1, 0);
        ADD_FAILURE() << "write to a read-only file succeeded";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Recording write failed (system error 9)");
    }

    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const RecordingFile readEnd(ends[0]);
    const RecordingFile writeEnd(ends[1]);
    try {
        writeWavHeader(writeEnd, 48000, 1, 0);
        ADD_FAILURE() << "seek on a pipe succeeded";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Recording seek failed (system error 29)");
    }
}

} // namespace
} // namespace kestravon::ruvi
