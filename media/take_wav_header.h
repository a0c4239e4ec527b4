#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestravon::ruvi {

class RecordingFile;

// Every track file carries the same 92-byte header, RIFF or RF64, so it can be rewritten in place.
inline constexpr std::size_t kWavHeaderBytes = 92;
// A data chunk whose RIFF size would exceed this switches the header to RF64.
inline constexpr std::uint64_t kRiffSizeLimit = 4294967295ULL;

using WavHeaderBytes = std::array<std::uint8_t, kWavHeaderBytes>;

// The header of a 32-bit float file of `frames` frames: RIFF with a JUNK chunk holding the place of
// ds64, or RF64 with the true sizes in ds64 once the RIFF size passes 32 bits.
[[nodiscard]] WavHeaderBytes makeWavHeader(std::uint32_t rate, std::uint32_t channels,
                                           std::uint64_t frames) noexcept;

// Writes the header at offset 0, then leaves the file position at the end of the data.
// Failures: "Recording seek failed", "Recording write failed".
void writeWavHeader(const RecordingFile& file, std::uint32_t rate, std::uint32_t channels,
                    std::uint64_t frames);

} // namespace kestravon::ruvi
