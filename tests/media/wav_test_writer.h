#pragma once
// Builds WAV files byte by byte for tests: well-formed ones in every supported format and
// deliberately broken ones (wrong sizes, odd chunks, bad format fields, RF64 tables).

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kestravon::ruvi::test {

using Bytes = std::vector<std::uint8_t>;

inline void putU16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void putU32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}
inline void putU64(Bytes& b, std::uint64_t v) {
    putU32(b, static_cast<std::uint32_t>(v));
    putU32(b, static_cast<std::uint32_t>(v >> 32));
}
inline void putId(Bytes& b, const char* id) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<std::uint8_t>(id[i]));
    }
}

struct TestFormat {
    std::uint32_t tag = 1; // 1 PCM, 3 float, 0xFFFE extensible
    std::uint32_t channels = 1;
    std::uint32_t rate = 48000;
    std::uint32_t bits = 16;
    std::optional<std::uint32_t> blockAlign; // default channels × bits / 8
    std::optional<std::uint32_t> byteRate;   // default rate × block align
    // Extensible fields.
    std::uint32_t subformatTag = 1;
    std::uint32_t channelMask = 0;
    std::uint32_t validBits = 0; // 0: bits
    std::uint32_t extensionSize = 22;
    bool standardGuid = true;
};

inline std::uint32_t blockAlignOf(const TestFormat& f) {
    return f.blockAlign.value_or(f.channels * f.bits / 8);
}

inline Bytes fmtBody(const TestFormat& f) {
    Bytes b;
    putU16(b, f.tag);
    putU16(b, f.channels);
    putU32(b, f.rate);
    putU32(b, f.byteRate.value_or(f.rate * blockAlignOf(f)));
    putU16(b, blockAlignOf(f));
    putU16(b, f.bits);
    if (f.tag == 0xFFFE) {
        putU16(b, f.extensionSize);
        putU16(b, f.validBits ? f.validBits : f.bits);
        putU32(b, f.channelMask);
        putU32(b, f.subformatTag);
        const std::uint8_t base[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                       0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        b.insert(b.end(), base, base + 12);
        if (!f.standardGuid) {
            b.back() ^= 0xFF;
        }
    }
    return b;
}

struct TestChunk {
    TestChunk(std::string chunkId, Bytes chunkBody, std::optional<std::uint32_t> declared = {},
              bool padOdd = true)
        : id(std::move(chunkId)), body(std::move(chunkBody)), declaredSize(declared), pad(padOdd) {}
    std::string id;
    Bytes body;
    std::optional<std::uint32_t> declaredSize; // default body size
    bool pad = true;                           // add the pad byte after an odd body
};

inline void putChunk(Bytes& out, const TestChunk& c) {
    putId(out, c.id.c_str());
    putU32(out, c.declaredSize.value_or(static_cast<std::uint32_t>(c.body.size())));
    out.insert(out.end(), c.body.begin(), c.body.end());
    if (c.pad && (c.body.size() & 1)) {
        out.push_back(0);
    }
}

// RIFF/WAVE with the chunks in order; the RIFF size fits the result unless overridden.
inline Bytes buildRiff(const std::vector<TestChunk>& chunks,
                       std::optional<std::uint32_t> riffSize = {}, const char* form = "WAVE") {
    Bytes out;
    putId(out, "RIFF");
    putU32(out, 0);
    putId(out, form);
    for (const auto& c : chunks) {
        putChunk(out, c);
    }
    const std::uint32_t size = riffSize.value_or(static_cast<std::uint32_t>(out.size() - 8));
    std::memcpy(out.data() + 4, &size, 4);
    return out;
}

struct Ds64 {
    Ds64(std::optional<std::uint64_t> riff, std::uint64_t data, std::uint64_t samples,
         std::uint32_t table = 0)
        : riffSize(riff), dataSize(data), sampleCount(samples), tableLength(table) {}
    std::optional<std::uint64_t> riffSize; // default: file size - 8
    std::uint64_t dataSize = 0;
    std::uint64_t sampleCount = 0;
    std::uint32_t tableLength = 0;
};

// RF64/WAVE: a ds64 chunk first, then `chunks`; a "data" chunk declared 0xFFFFFFFF takes the
// ds64 data size.
inline Bytes buildRf64(const Ds64& ds, const std::vector<TestChunk>& chunks) {
    Bytes out;
    putId(out, "RF64");
    putU32(out, 0xFFFFFFFFu);
    putId(out, "WAVE");
    Bytes body;
    putU64(body, 0);
    putU64(body, ds.dataSize);
    putU64(body, ds.sampleCount);
    putU32(body, ds.tableLength);
    putChunk(out, TestChunk{"ds64", body});
    for (const auto& c : chunks) {
        putChunk(out, c);
    }
    const std::uint64_t riff = ds.riffSize.value_or(out.size() - 8);
    std::memcpy(out.data() + 20, &riff, 8);
    return out;
}

// Interleaved samples in the container the format names (PCM: full-scale integers).
inline Bytes encodeSamples(const TestFormat& f, const std::vector<double>& samples) {
    Bytes b;
    const std::uint32_t tag = f.tag == 0xFFFE ? f.subformatTag : f.tag;
    for (double s : samples) {
        if (tag == 3) {
            const auto v = static_cast<float>(s);
            std::uint32_t u;
            std::memcpy(&u, &v, 4);
            putU32(b, u);
            continue;
        }
        const double scale = std::ldexp(1.0, static_cast<int>(f.bits) - 1);
        const double clipped = std::fmax(-scale, std::fmin(scale - 1, std::round(s * scale)));
        const auto v = static_cast<std::int64_t>(clipped);
        for (std::uint32_t i = 0; i < f.bits / 8; ++i) {
            b.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i)));
        }
    }
    return b;
}

inline Bytes simpleWav(const TestFormat& f, const std::vector<double>& interleaved) {
    return buildRiff({{"fmt ", fmtBody(f)}, {"data", encodeSamples(f, interleaved)}});
}

inline void writeBytes(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// A fresh directory under the system temporary folder, removed with its files afterwards.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ruvi-wav-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const Bytes& bytes) const {
        writeBytes(path_ / name, bytes);
        return file(name);
    }

private:
    std::filesystem::path path_;
};

} // namespace kestravon::ruvi::test

namespace kestravon::ruvi::test {

// Appends raw bytes after the last chunk and grows the RIFF size to cover them.
inline Bytes withTrailer(Bytes file, std::size_t count) {
    file.insert(file.end(), count, 0);
    const auto size = static_cast<std::uint32_t>(file.size() - 8);
    std::memcpy(file.data() + 4, &size, 4);
    return file;
}

// RF64 header with the size sentinel and then exactly `chunks`: no ds64 is added.
inline Bytes buildRawRf64(const std::vector<TestChunk>& chunks) {
    Bytes out;
    putId(out, "RF64");
    putU32(out, 0xFFFFFFFFu);
    putId(out, "WAVE");
    for (const auto& c : chunks) {
        putChunk(out, c);
    }
    return out;
}

} // namespace kestravon::ruvi::test
