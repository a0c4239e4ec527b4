#include "tests/support/recorder_test_support.h"

#include "media/take_hash.h"
#include "media/take_wav_header.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <linux/capability.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kestravon::ruvi::testing {

TakeTempDir::TakeTempDir() {
    char name[] = "/tmp/ruvi-take-XXXXXX";
    if (::mkdtemp(name) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = name;
}

TakeTempDir::~TakeTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

namespace {

// Raw capget/capset: the effective set of the calling thread only.
bool threadCapabilities(__user_cap_data_struct (&data)[2], bool set) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(set ? SYS_capset : SYS_capget, &header, data) == 0;
}

} // namespace

ReadOnlyFolder::ReadOnlyFolder(std::string folder) : folder_(std::move(folder)) {
    if (::chmod(folder_.c_str(), 0555) != 0) {
        throw std::runtime_error("chmod failed");
    }
    __user_cap_data_struct data[2] = {};
    if (threadCapabilities(data, false)) {
        savedEffective_[0] = data[0].effective;
        savedEffective_[1] = data[1].effective;
        data[0].effective &=
            ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
        lowered_ = threadCapabilities(data, true);
    }
}

ReadOnlyFolder::~ReadOnlyFolder() {
    __user_cap_data_struct data[2] = {};
    if (lowered_ && threadCapabilities(data, false)) {
        data[0].effective = savedEffective_[0];
        data[1].effective = savedEffective_[1];
        threadCapabilities(data, true);
    }
    ::chmod(folder_.c_str(), 0755);
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> readLines(const std::string& path) {
    const std::string text = readWholeFile(path);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

std::vector<nlohmann::json> readJournal(const std::string& takeFolder) {
    std::vector<nlohmann::json> out;
    for (const std::string& line : readLines(takeFolder + "/recovery.jsonl")) {
        out.push_back(nlohmann::json::parse(line));
    }
    return out;
}

std::vector<std::uint64_t> committedFrames(const std::vector<nlohmann::json>& journal) {
    std::vector<std::uint64_t> frames;
    for (const nlohmann::json& line : journal) {
        if (line.at("event") == "committed") {
            frames.push_back(line.at("frames").get<std::uint64_t>());
        }
    }
    return frames;
}

RecorderTakeConfig makeTakeConfig(const std::string& directory,
                                  const std::vector<std::uint32_t>& widths,
                                  std::uint32_t blockFrames, std::uint32_t queueSlots) {
    RecorderTakeConfig config;
    config.directory = directory;
    config.blockFrames = blockFrames;
    config.queueSlots = queueSlots;
    std::uint32_t lane = 0;
    for (std::size_t t = 0; t < widths.size(); ++t) {
        RecorderTrackSpec track;
        track.id = "t" + std::to_string(t + 1);
        track.name = "Track " + std::to_string(t + 1);
        for (std::uint32_t c = 0; c < widths[t]; ++c) {
            track.sourceLanes.push_back(lane++);
        }
        config.tracks.push_back(track);
    }
    return config;
}

float testSample(std::uint64_t frame, std::uint32_t lane) {
    const auto step = static_cast<std::int64_t>((frame * 31 + lane * 977ULL) % 65536);
    return static_cast<float>(step - 32768) / 32768.0f;
}

TestSignalSource::TestSignalSource(std::uint32_t lanes, std::uint32_t maxFrames)
    : samples_(lanes, std::vector<float>(maxFrames)) {
    for (const auto& lane : samples_) {
        pointers_.push_back(lane.data());
    }
}

const float* const* TestSignalSource::next(std::uint32_t frames) {
    for (std::uint32_t lane = 0; lane < samples_.size(); ++lane) {
        for (std::uint32_t i = 0; i < frames; ++i) {
            samples_[lane][i] = testSample(position_ + i, lane);
        }
    }
    position_ += frames;
    return pointers_.data();
}

std::string trackData(const std::string& path) {
    const std::string bytes = readWholeFile(path);
    return bytes.size() < kWavHeaderBytes ? std::string() : bytes.substr(kWavHeaderBytes);
}

std::uint64_t hashPrefix(const std::string& data, std::uint64_t bytes) {
    if (bytes > data.size()) {
        throw std::runtime_error("track data shorter than the committed frames");
    }
    return fnv1a64(kFnv1a64OffsetBasis, data.data(), bytes);
}

std::uint64_t firstWrongFrame(const std::string& data, std::uint64_t frames,
                              const std::vector<std::uint32_t>& lanes) {
    const std::size_t width = lanes.size();
    for (std::uint64_t i = 0; i < frames; ++i) {
        for (std::size_t c = 0; c < width; ++c) {
            const std::size_t at = (i * width + c) * sizeof(float);
            if (at + sizeof(float) > data.size()) {
                return i;
            }
            float value;
            std::memcpy(&value, data.data() + at, sizeof value);
            if (value != testSample(i, lanes[c])) {
                return i;
            }
        }
    }
    return frames;
}

} // namespace kestravon::ruvi::testing
