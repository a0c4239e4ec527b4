#pragma once

#include "media/take_config.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace kestravon::ruvi::testing {

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TakeTempDir {
public:
    TakeTempDir();
    ~TakeTempDir();
    TakeTempDir(const TakeTempDir&) = delete;
    TakeTempDir& operator=(const TakeTempDir&) = delete;
    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] std::string operator/(const std::string& name) const {
        return path_ + "/" + name;
    }

private:
    std::string path_;
};

// Makes `folder` read-only for this thread and the threads it starts while the object lives:
// mode 0555, and the calling thread's capabilities that override file permissions lowered (tests
// may run as root). Both are restored when it goes.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(std::string folder);
    ~ReadOnlyFolder();
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

private:
    std::string folder_;
    std::uint32_t savedEffective_[2] = {};
    bool lowered_ = false;
};

[[nodiscard]] std::string readWholeFile(const std::string& path);
[[nodiscard]] std::vector<std::string> readLines(const std::string& path);
// Every complete line of recovery.jsonl, parsed; a torn last line (no line feed) is left out.
[[nodiscard]] std::vector<nlohmann::json> readJournal(const std::string& takeFolder);
// The "frames" of every "committed" line, in order.
[[nodiscard]] std::vector<std::uint64_t>
committedFrames(const std::vector<nlohmann::json>& journal);

// A take of `widths.size()` tracks named t1, t2, ...; lanes are handed out in order from 0.
[[nodiscard]] RecorderTakeConfig makeTakeConfig(const std::string& directory,
                                                const std::vector<std::uint32_t>& widths,
                                                std::uint32_t blockFrames = 512,
                                                std::uint32_t queueSlots = 256);

// The known signal of input lane `lane` at frame `frame`: a multiple of 2^-15 in [-1, 1), so it
// survives any reader that passes through 32-bit integers.
[[nodiscard]] float testSample(std::uint64_t frame, std::uint32_t lane);

// Planar input buffers of `lanes` channels, refilled with the known signal block by block.
class TestSignalSource {
public:
    TestSignalSource(std::uint32_t lanes, std::uint32_t maxFrames);
    // Fills `frames` frames starting at the next frame of the signal.
    const float* const* next(std::uint32_t frames);
    [[nodiscard]] std::uint64_t position() const { return position_; }

private:
    std::vector<std::vector<float>> samples_;
    std::vector<const float*> pointers_;
    std::uint64_t position_ = 0;
};

// The data bytes (after the 92-byte header) of a track file.
[[nodiscard]] std::string trackData(const std::string& path);

// FNV-1a 64 over the first `bytes` bytes of `data`.
[[nodiscard]] std::uint64_t hashPrefix(const std::string& data, std::uint64_t bytes);

// Index of the first frame whose samples differ from the known signal of `lanes`, or `frames`.
[[nodiscard]] std::uint64_t firstWrongFrame(const std::string& data, std::uint64_t frames,
                                            const std::vector<std::uint32_t>& lanes);

} // namespace kestravon::ruvi::testing
