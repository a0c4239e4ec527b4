// Feeds arbitrary bytes to the WAV header parser through the same stream interface a file uses,
// then decodes the first frames it accepts.
#include "media/wav_decoder.h"
#include "media/wav_memory_stream.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestravon::ruvi;
    WavMemoryStream stream({data, size});
    WavFileInfo info;
    try {
        info = parseWavHeader(stream, static_cast<std::uint64_t>(size));
    } catch (const std::runtime_error&) {
        return 0;
    }
    // An accepted header must describe bytes that really are in the input.
    if (info.dataOffset + info.dataBytes > size ||
        info.frames * info.blockAlign != info.dataBytes) {
        __builtin_trap();
    }
    const std::size_t frames = static_cast<std::size_t>(std::min<std::uint64_t>(info.frames, 64));
    std::vector<std::uint32_t> channels(info.channels);
    std::vector<std::vector<float>> lanes(info.channels, std::vector<float>(frames));
    std::vector<float*> outputs(info.channels);
    for (std::uint32_t c = 0; c < info.channels; ++c) {
        channels[c] = c;
        outputs[c] = lanes[c].data();
    }
    try {
        decodeWavChannels(data + info.dataOffset, frames, info, channels, outputs);
    } catch (const std::runtime_error&) {
    }
    return 0;
}
