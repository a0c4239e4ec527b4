#include "media/take_journal.h"

#include "media/take_file_io.h"
#include "media/take_wav_header.h"

namespace kestravon::ruvi {

using nlohmann::json;

std::string takeTrackFileName(std::size_t index, const RecorderTrackSpec& track) {
    return std::to_string(index + 1) + "-" + track.id + ".wav";
}

json takeTracksJson(const std::vector<RecorderTrackSpec>& tracks) {
    json out = json::array();
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        const RecorderTrackSpec& track = tracks[i];
        out.push_back({{"channels", track.sourceLanes.size()},
                       {"file", takeTrackFileName(i, track)},
                       {"id", track.id},
                       {"name", track.name},
                       {"sourceLanes", track.sourceLanes}});
    }
    return out;
}

json takeManifestJson(const RecorderTakeConfig& config) {
    return {{"encoding", "IEEE-float32"},
            {"firstSourceFrame", config.firstSourceFrame},
            {"format", "kestravon-live-raw-take"},
            {"headerBytes", kWavHeaderBytes},
            {"sampleRate", config.sampleRate},
            {"tap", config.tap},
            {"tracks", takeTracksJson(config.tracks)},
            {"version", 1}};
}

json journalPrepared() {
    return {{"event", "prepared"}, {"frames", 0}};
}

json journalCommitted(std::uint64_t frames, const std::vector<std::uint64_t>& hashes) {
    return {{"event", "committed"},
            {"frames", frames},
            {"hashAlgorithm", "fnv1a64-audio-bytes"},
            {"hashes", hashes}};
}

json journalFinalized(std::int32_t fault, std::uint64_t frames, std::uint64_t droppedFrames,
                      std::uint64_t firstDroppedFrame) {
    return {
        {"complete", fault == 0}, {"droppedFrames", droppedFrames},         {"event", "finalized"},
        {"fault", fault},         {"firstDroppedFrame", firstDroppedFrame}, {"frames", frames}};
}

json journalWriterFailed(const std::string& error, std::uint64_t writtenFrames,
                         std::uint64_t committedFrames, std::uint64_t droppedFrames,
                         std::uint64_t firstDroppedFrame) {
    return {{"committedFrames", committedFrames},
            {"droppedFrames", droppedFrames},
            {"error", error},
            {"event", "writer-failed"},
            {"firstDroppedFrame", firstDroppedFrame},
            {"writtenFrames", writtenFrames}};
}

void appendJournalLine(const RecordingFile& file, const json& object) {
    const std::string line = object.dump() + "\n";
    writeRecordingBytes(file, line.data(), line.size());
}

} // namespace kestravon::ruvi
