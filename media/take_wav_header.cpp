#include "media/take_wav_header.h"

#include "media/take_file_io.h"

#include <cstring>
#include <unistd.h>

namespace kestravon::ruvi {

namespace {

class HeaderWriter {
public:
    explicit HeaderWriter(WavHeaderBytes& bytes) : bytes_(bytes) {}
    void tag(const char (&text)[5]) {
        std::memcpy(bytes_.data() + at_, text, 4);
        at_ += 4;
    }
    void u16(std::uint32_t value) { put(value, 2); }
    void u32(std::uint64_t value) { put(value, 4); }
    void u64(std::uint64_t value) { put(value, 8); }

private:
    void put(std::uint64_t value, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            bytes_[at_++] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    }
    WavHeaderBytes& bytes_;
    std::size_t at_ = 0;
};

} // namespace

WavHeaderBytes makeWavHeader(std::uint32_t rate, std::uint32_t channels,
                             std::uint64_t frames) noexcept {
    const std::uint64_t dataBytes = frames * channels * 4;
    const std::uint64_t riffSize = dataBytes + (kWavHeaderBytes - 8);
    const bool rf64 = riffSize > kRiffSizeLimit;
    constexpr std::uint64_t kAll32 = 0xFFFFFFFFULL;

    WavHeaderBytes bytes{};
    HeaderWriter out(bytes);
    out.tag(rf64 ? "RF64" : "RIFF");
    out.u32(rf64 ? kAll32 : riffSize);
    out.tag("WAVE");
    out.tag(rf64 ? "ds64" : "JUNK");
    out.u32(28);
    out.u64(rf64 ? riffSize : 0);
    out.u64(rf64 ? dataBytes : 0);
    out.u64(rf64 ? frames : 0);
    out.u32(0); // ds64 table length
    out.tag("fmt ");
    out.u32(16);
    out.u16(3); // IEEE float
    out.u16(channels);
    out.u32(rate);
    out.u32(static_cast<std::uint32_t>(std::uint64_t{rate} * channels * 4));
    out.u16(channels * 4);
    out.u16(32);
    out.tag("fact");
    out.u32(4);
    out.u32(frames > kAll32 ? kAll32 : frames);
    out.tag("data");
    out.u32(rf64 ? kAll32 : dataBytes);
    return bytes;
}

void writeWavHeader(const RecordingFile& file, std::uint32_t rate, std::uint32_t channels,
                    std::uint64_t frames) {
    const WavHeaderBytes bytes = makeWavHeader(rate, channels, frames);
    if (::lseek(file.fd(), 0, SEEK_SET) != 0) {
        throwRecordingIoError("Recording seek failed");
    }
    writeRecordingBytes(file, bytes.data(), bytes.size());
    const auto end = static_cast<off_t>(kWavHeaderBytes + frames * channels * 4);
    if (::lseek(file.fd(), end, SEEK_SET) != end) {
        throwRecordingIoError("Recording seek failed");
    }
}

} // namespace kestravon::ruvi
