#pragma once

#include "media/take_config.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace kestravon::ruvi {

class RecordingFile;

// The file name of track `index` (from 0): "<index + 1>-<id>.wav".
[[nodiscard]] std::string takeTrackFileName(std::size_t index, const RecorderTrackSpec& track);

// The "tracks" value of take.json, one object per track in take order.
[[nodiscard]] nlohmann::json takeTracksJson(const std::vector<RecorderTrackSpec>& tracks);

// The whole take.json object.
[[nodiscard]] nlohmann::json takeManifestJson(const RecorderTakeConfig& config);

// The recovery.jsonl events.
[[nodiscard]] nlohmann::json journalPrepared();
[[nodiscard]] nlohmann::json journalCommitted(std::uint64_t frames,
                                              const std::vector<std::uint64_t>& hashes);
[[nodiscard]] nlohmann::json journalFinalized(std::int32_t fault, std::uint64_t frames,
                                              std::uint64_t droppedFrames,
                                              std::uint64_t firstDroppedFrame);
[[nodiscard]] nlohmann::json journalWriterFailed(const std::string& error,
                                                 std::uint64_t writtenFrames,
                                                 std::uint64_t committedFrames,
                                                 std::uint64_t droppedFrames,
                                                 std::uint64_t firstDroppedFrame);

// Appends `object` as compact JSON and a line feed; the caller flushes.
void appendJournalLine(const RecordingFile& file, const nlohmann::json& object);

} // namespace kestravon::ruvi
