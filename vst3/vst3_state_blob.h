#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestravon::ruvi {

// One plug-in's saved state: "KVXS" "ST3" version 1, the 16-byte class id, two little-endian
// u32 lengths, then the component state and the controller state; nothing may follow.
struct Vst3StateBlob {
    static constexpr std::size_t kHeaderSize = 32;
    static constexpr std::uint32_t kMaxPartSize = 16777216;

    std::array<std::uint8_t, 16> classId{};
    std::span<const std::uint8_t> component;
    std::span<const std::uint8_t> controller;

    std::vector<std::uint8_t> encode() const;
    // Views into bytes; throws "Invalid or mismatched VST3 host state." or
    // "Invalid VST3 state lengths." (the class id is checked by the caller).
    static Vst3StateBlob parse(std::span<const std::uint8_t> bytes);
};

void appendU32le(std::vector<std::uint8_t>& bytes, std::uint32_t value);

// "stateHex": two lower-case hex digits per byte, high nibble first.
std::string stateHex(std::span<const std::uint8_t> bytes);
// Reads "stateHex" back; throws "Invalid bounded VST state" for an odd or over-long text and
// "Invalid VST state encoding" for any other character, upper-case digits included.
std::vector<std::uint8_t> parseStateHex(std::string_view text);
int hexDigitValue(char c);

} // namespace kestravon::ruvi
