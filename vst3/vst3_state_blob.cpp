#include "vst3/vst3_state_blob.h"

#include <cstring>
#include <stdexcept>

namespace kestravon::ruvi {
namespace {

constexpr std::uint8_t kMagic[8] = {'K', 'V', 'X', 'S', 'S', 'T', '3', 0x01};
constexpr std::size_t kMaxHexLength = 2 * std::size_t{Vst3StateBlob::kMaxPartSize};

std::uint32_t readU32le(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

} // namespace

void appendU32le(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

std::vector<std::uint8_t> Vst3StateBlob::encode() const {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(kHeaderSize + component.size() + controller.size());
    bytes.insert(bytes.end(), std::begin(kMagic), std::end(kMagic));
    bytes.insert(bytes.end(), classId.begin(), classId.end());
    appendU32le(bytes, static_cast<std::uint32_t>(component.size()));
    appendU32le(bytes, static_cast<std::uint32_t>(controller.size()));
    bytes.insert(bytes.end(), component.begin(), component.end());
    bytes.insert(bytes.end(), controller.begin(), controller.end());
    return bytes;
}

Vst3StateBlob Vst3StateBlob::parse(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kMagic, sizeof(kMagic)) != 0) {
        throw std::runtime_error("Invalid or mismatched VST3 host state.");
    }
    const std::uint32_t componentLength = readU32le(bytes.data() + 24);
    const std::uint32_t controllerLength = readU32le(bytes.data() + 28);
    if (componentLength > kMaxPartSize || controllerLength > kMaxPartSize ||
        bytes.size() != kHeaderSize + std::size_t{componentLength} + controllerLength) {
        throw std::runtime_error("Invalid VST3 state lengths.");
    }
    Vst3StateBlob blob;
    std::memcpy(blob.classId.data(), bytes.data() + 8, blob.classId.size());
    blob.component = bytes.subspan(kHeaderSize, componentLength);
    blob.controller = bytes.subspan(kHeaderSize + componentLength, controllerLength);
    return blob;
}

std::string stateHex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.resize(bytes.size() * 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return text;
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    throw std::runtime_error("Invalid VST state encoding");
}

std::vector<std::uint8_t> parseStateHex(std::string_view text) {
    if (text.size() % 2 != 0 || text.size() > kMaxHexLength) {
        throw std::runtime_error("Invalid bounded VST state");
    }
    std::vector<std::uint8_t> bytes(text.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>((hexDigitValue(text[2 * i]) << 4) |
                                             hexDigitValue(text[2 * i + 1]));
    }
    return bytes;
}

} // namespace kestravon::ruvi
