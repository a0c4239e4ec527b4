#include "media/playback_preload.h"

#include "media/playback_resampler.h"
#include "media/wav_decoder.h"
#include "media/wav_file_stream.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <system_error>

namespace kestravon::ruvi {
namespace {

[[noreturn]] void fail(const char* message) {
    throw std::runtime_error(message);
}

constexpr const char* kBudgetMessage =
    "Preloaded playback exceeds configured memory budget (includes old/new audio and SRC staging)";
constexpr std::uint64_t kPieceBytes = 65536;
constexpr std::uint64_t kAddressLimit = 1ull << 62;

// Charges `bytes` to the running total, or refuses the load.
void charge(std::uint64_t& used, std::uint64_t budget, std::uint64_t bytes) {
    if (used > budget || bytes > budget - used) {
        fail(kBudgetMessage);
    }
    used += bytes;
}

bool validConfig(const PlaybackConfig& c) {
    return c.sampleRate >= 8000 && c.sampleRate <= 192000 && c.blockFrames >= 1 &&
           c.blockFrames <= kPlaybackMaxBlockFrames &&
           c.memoryBudgetBytes >= kPlaybackMinimumBudgetBytes &&
           c.memoryBudgetBytes <= kPlaybackDefaultBudgetBytes && !c.sources.empty() &&
           c.sources.size() <= kPlaybackMaxLanes;
}

// Decodes the data chunk of one open file into one lane per source, in 64 KiB pieces.
std::vector<PlaybackSamples> decodeFile(WavFileStream& stream, const WavFileInfo& info,
                                        const std::vector<const PlaybackLaneSource*>& sources,
                                        const PlaybackConfig& config, std::uint64_t& checksum,
                                        bool wantChecksum) {
    const std::size_t n = sources.size();
    std::vector<PlaybackSamples> lanes(n);
    for (auto& lane : lanes) {
        lane.resize(static_cast<std::size_t>(info.frames));
    }
    std::vector<std::uint32_t> channels(n);
    std::vector<float*> outputs(n);
    for (std::size_t j = 0; j < n; ++j) {
        channels[j] = sources[j]->sourceChannel;
    }
    const std::uint64_t pieceFrames = std::max<std::uint64_t>(1, kPieceBytes / info.blockAlign);
    std::vector<std::uint8_t> piece(static_cast<std::size_t>(pieceFrames * info.blockAlign));
    seekWavStream(stream, info.dataOffset);
    for (std::uint64_t done = 0; done < info.frames;) {
        reportPlaybackProgress(config, "decoding",
                               static_cast<double>(done) / static_cast<double>(info.frames));
        const auto count = static_cast<std::size_t>(std::min(pieceFrames, info.frames - done));
        const std::size_t bytes = count * info.blockAlign;
        readWavStream(stream, piece.data(), bytes);
        if (wantChecksum) {
            checksum = playbackFnv1a64(piece.data(), bytes, checksum);
        }
        for (std::size_t j = 0; j < n; ++j) {
            outputs[j] = lanes[j].data() + done;
        }
        decodeWavChannels(piece.data(), count, info, channels, outputs);
        done += count;
    }
    return lanes;
}

// Frames at the session rate: frames × rate / fileRate rounded half up, at least 1.
std::uint64_t convertedLength(std::uint64_t frames, std::uint32_t sessionRate,
                              std::uint32_t fileRate) {
    const unsigned __int128 scaled =
        (static_cast<unsigned __int128>(frames) * sessionRate * 2 + fileRate) /
        (static_cast<unsigned __int128>(fileRate) * 2);
    if (scaled > static_cast<unsigned __int128>(UINT64_MAX)) {
        fail("Playback SRC length overflow");
    }
    return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(scaled));
}

} // namespace

std::uint64_t playbackFnv1a64(const void* data, std::size_t size, std::uint64_t hash) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ p[i]) * 0x100000001b3ull;
    }
    return hash;
}

PreloadResult preloadPlayback(const PlaybackConfig& config, std::uint64_t alreadyUsedBytes) {
    reportPlaybackProgress(config, "inspecting", 0.0);
    if (!validConfig(config)) {
        fail("Invalid bounded playback configuration");
    }
    if (config.memoryBudgetBytes - kPlaybackStagingReserveBytes < alreadyUsedBytes) {
        fail(kBudgetMessage);
    }
    const std::uint64_t budget = config.memoryBudgetBytes;
    std::uint64_t used = alreadyUsedBytes + kPlaybackStagingReserveBytes;

    bool laneUsed[kPlaybackMaxLanes] = {};
    std::map<std::string, std::vector<const PlaybackLaneSource*>> files;
    for (const auto& source : config.sources) {
        if (source.path.empty() || source.path.size() > 4096 || source.sourceChannel >= 128 ||
            source.lane >= kPlaybackMaxLanes || laneUsed[source.lane]) {
            fail("Invalid/duplicated playback lane map");
        }
        laneUsed[source.lane] = true;
        files[source.path].push_back(&source);
    }

    PreloadResult result;
    result.sampleRate = config.sampleRate;
    result.blockFrames = config.blockFrames;
    for (const auto& [path, sources] : files) {
        WavFileStream stream;
        if (!stream.open(path)) {
            fail("Cannot open selected playback WAV");
        }
        const WavFileInfo info = parseWavHeader(stream, path);
        const PlaybackLaneSource* withChecksum = nullptr;
        for (const auto* source : sources) {
            if (source->sourceChannel >= info.channels) {
                fail("Playback source channel absent from selected WAV");
            }
            if (source->hasExpectedChecksum) {
                if (withChecksum && withChecksum->expectedChecksum != source->expectedChecksum) {
                    fail("Conflicting playback payload checksums");
                }
                withChecksum = source;
            }
        }
        const std::uint64_t n = sources.size();
        if (info.frames > (kAddressLimit - 1) / n) {
            fail("Playback length overflows memory addressing");
        }
        const std::uint64_t decodedBytes = n * info.frames * sizeof(float);
        charge(used, budget, decodedBytes);

        std::uint64_t checksum = 0xcbf29ce484222325ull;
        std::vector<PlaybackSamples> lanes =
            decodeFile(stream, info, sources, config, checksum, withChecksum != nullptr);
        if (withChecksum && checksum != withChecksum->expectedChecksum) {
            fail("Playback WAV payload differs from committed audio checksum");
        }
        std::error_code error;
        const auto sizeNow = std::filesystem::file_size(path, error);
        if (error || sizeNow != info.fileSize) {
            fail("Playback WAV changed during load");
        }

        if (info.sampleRate != config.sampleRate) {
            const std::uint64_t length =
                convertedLength(info.frames, config.sampleRate, info.sampleRate);
            if (length > (kAddressLimit - 1) / n) {
                fail("Playback length overflows memory addressing");
            }
            const std::uint64_t convertedBytes = n * length * sizeof(float);
            charge(used, budget, convertedBytes);
            lanes = resamplePlaybackLane(
                lanes, length, static_cast<double>(info.sampleRate) / config.sampleRate, config);
            used -= decodedBytes;
        }
        for (std::size_t j = 0; j < lanes.size(); ++j) {
            const std::uint64_t frames = lanes[j].size();
            result.residentAudioBytes += frames * sizeof(float);
            result.loadedChannels =
                std::max<std::uint64_t>(result.loadedChannels, sources[j]->lane + 1ull);
            result.durationFrames = std::max(result.durationFrames, frames);
            result.lanes.push_back(PlaybackLane{sources[j]->lane, std::move(lanes[j])});
        }
    }
    reportPlaybackProgress(config, "ready", 1.0);
    return result;
}

} // namespace kestravon::ruvi
