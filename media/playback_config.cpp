#include "media/playback_config.h"

#include "media/wav_header.h"

#include <set>
#include <stdexcept>

namespace kestravon::ruvi {
namespace {

[[noreturn]] void fail(const char* message) {
    throw std::runtime_error(message);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool validUtf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned c = *p;
        std::size_t extra = 0;
        unsigned lo = 0x80, hi = 0xBF;
        if (c < 0x80) {
            ++p;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            lo = c == 0xE0 ? 0xA0 : 0x80;
            hi = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            lo = c == 0xF0 ? 0x90 : 0x80;
            hi = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= extra) {
            return false;
        }
        if (p[1] < lo || p[1] > hi) {
            return false;
        }
        for (std::size_t i = 2; i <= extra; ++i) {
            if (p[i] < 0x80 || p[i] > 0xBF) {
                return false;
            }
        }
        p += extra + 1;
    }
    return true;
}

std::string fileNameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

void checkPlaybackLocalPath(const std::string& path) {
    if (path.empty() || path.size() > 32700 || path.find('\0') != std::string::npos) {
        fail("Invalid local file path");
    }
    if (!validUtf8(path)) {
        fail("Invalid UTF-8 file path");
    }
    if (path.front() != '/' || path.starts_with("\\\\")) {
        fail("Choose an absolute local path");
    }
}

PlaybackConfig makePlaybackConfig(const nlohmann::json& paths, std::uint32_t sessionRate) {
    if (!paths.is_array() || paths.empty() || paths.size() > kPlaybackMaxLanes) {
        fail("Choose between 1 and 128 local WAV files");
    }
    PlaybackConfig config;
    config.sampleRate = sessionRate;
    std::set<std::string> seen;
    for (const auto& entry : paths) {
        const std::string path = entry.get<std::string>();
        checkPlaybackLocalPath(path);
        if (!seen.insert(path).second) {
            fail("Duplicate playback file");
        }
        const WavInspection file = inspectPlaybackWav(path);
        if (config.laneCount + file.channels > kPlaybackMaxLanes) {
            fail("Playback supports at most 128 loaded lanes");
        }
        config.files.push_back({{"channels", file.channels},
                                {"firstLane", config.laneCount},
                                {"id", path},
                                {"name", fileNameOf(path)},
                                {"originalFrames", file.frames},
                                {"path", path},
                                {"sampleRate", file.sampleRate}});
        for (std::uint32_t i = 0; i < file.channels; ++i) {
            PlaybackLaneSource source;
            source.path = path;
            source.sourceChannel = i;
            source.lane = config.laneCount + i;
            config.sources.push_back(std::move(source));
        }
        config.laneCount += file.channels;
    }
    return config;
}

void reportPlaybackProgress(const PlaybackConfig& config, std::string_view stage, double fraction) {
    if (config.cancel && config.cancel()) {
        fail("File operation cancelled");
    }
    if (config.progress) {
        config.progress(stage, fraction);
    }
}

std::uint64_t playbackFrameFromJson(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        return value.get<std::uint64_t>();
    }
    if (value.is_number_integer() && value.get<std::int64_t>() >= 0) {
        return static_cast<std::uint64_t>(value.get<std::int64_t>());
    }
    fail("Playback frame must be a nonnegative integer");
}

} // namespace kestravon::ruvi
