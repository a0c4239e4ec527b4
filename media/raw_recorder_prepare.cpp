#include "media/raw_recorder_impl.h"
#include "media/take_hash.h"
#include "media/take_journal.h"
#include "media/take_queue_budget.h"
#include "media/take_wav_header.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>

namespace kestravon::ruvi {

bool isValidRecorderTrackId(const std::string& id) noexcept {
    if (id.empty() || id.size() > 96) {
        return false;
    }
    for (const char c : id) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

namespace {

std::uint64_t checkTakeConfig(const RecorderTakeConfig& config) {
    const bool valid = !config.directory.empty() && config.sampleRate >= 8000 &&
                       config.sampleRate <= 384000 && config.blockFrames >= 1 &&
                       config.blockFrames <= 65536 && config.queueSlots >= 2 &&
                       config.queueSlots <= 65536 && !config.tracks.empty() &&
                       config.tracks.size() <= 128 && config.tap == kRecorderTap;
    if (!valid) {
        throw std::runtime_error("Invalid raw recorder configuration");
    }
    std::uint64_t laneCount = 0;
    for (std::size_t t = 0; t < config.tracks.size(); ++t) {
        const RecorderTrackSpec& track = config.tracks[t];
        bool repeated = false;
        for (std::size_t u = 0; u < t; ++u) {
            repeated = repeated || config.tracks[u].id == track.id;
        }
        const std::size_t width = track.sourceLanes.size();
        if (!isValidRecorderTrackId(track.id) || repeated ||
            track.name.size() > kRecorderTrackNameMaxBytes || width < 1 || width > 2) {
            throw std::runtime_error("Invalid recorder track ID/width/name");
        }
        for (const std::uint32_t lane : track.sourceLanes) {
            if (lane > 4095) {
                throw std::runtime_error("Source lane exceeds recorder budget");
            }
        }
        laneCount += width;
    }
    if (!recorderQueueFitsBudget(config.queueSlots, config.blockFrames, laneCount,
                                 config.retainedQueueBytes)) {
        throw std::runtime_error("Combined old/new recorder queues exceed 512 MiB budget");
    }
    return laneCount;
}

void createTakeFolder(const std::string& directory) {
    if (::mkdir(directory.c_str(), 0755) == 0) {
        return;
    }
    const int error = errno;
    if (error == EEXIST) {
        throw std::runtime_error("Recording directory already exists");
    }
    throw std::filesystem::filesystem_error("create_directory", directory,
                                            std::error_code(error, std::generic_category()));
}

std::string inFolder(const std::string& directory, const std::string& name) {
    return (std::filesystem::path(directory) / name).string();
}

} // namespace

RawRecorder RawRecorder::prepareTake(const RecorderTakeConfig& config,
                                     const std::function<bool()>& cancel) {
    throwIfPreparationCancelled(cancel);
    const std::uint64_t laneCount = checkTakeConfig(config);

    RawRecorder recorder;
    Impl& m = *recorder.impl_;
    m.directory = config.directory;
    m.sampleRate = config.sampleRate;
    m.blockFrames = config.blockFrames;
    m.queueSlots = config.queueSlots;
    m.tracks = config.tracks;
    m.tap = config.tap;
    m.firstSourceFrame = config.firstSourceFrame;
    m.retainedQueueBytes = config.retainedQueueBytes;
    m.laneCount = laneCount;
    m.slotStride = std::uint64_t{config.blockFrames} * laneCount;
    m.batchFrames = std::max(config.blockFrames, kWriterBatchFrames);
    // Zero-filled here so the audio thread never touches a fresh page.
    m.slotSamples.assign(m.slotStride * config.queueSlots, 0.0f);
    m.trackScratch.assign(m.batchFrames * laneCount, 0.0f);
    m.slotFrames.assign(config.queueSlots, 0);
    m.minBlockFrames.store(config.blockFrames);
    m.shownRate.store(config.sampleRate);
    m.shownBlockFrames.store(config.blockFrames);
    m.shownSlots.store(config.queueSlots);
    m.shownQueueBytes.store(m.slotSamples.size() * sizeof(float));
    m.shownDirectory = config.directory;

    createTakeFolder(config.directory);
    m.prepared = true;
    throwIfPreparationCancelled(cancel);

    RecordingFile manifest = openRecordingFile(inFolder(config.directory, "take.json"));
    appendJournalLine(manifest, takeManifestJson(config));
    flushRecordingFile(manifest);

    m.journal = openRecordingFile(inFolder(config.directory, "recovery.jsonl"));
    appendJournalLine(m.journal, journalPrepared());
    flushRecordingFile(m.journal);

    m.trackFiles.reserve(config.tracks.size());
    for (std::size_t t = 0; t < config.tracks.size(); ++t) {
        throwIfPreparationCancelled(cancel);
        const RecorderTrackSpec& track = config.tracks[t];
        RecordingFile file =
            openRecordingFile(inFolder(config.directory, takeTrackFileName(t, track)));
        const auto width = static_cast<std::uint32_t>(track.sourceLanes.size());
        writeWavHeader(file, config.sampleRate, width, 0);
        flushRecordingFile(file);
        m.trackFiles.push_back(std::move(file));
        m.trackChannels.push_back(width);
        for (std::uint32_t c = 0; c < width; ++c) {
            m.laneRunOffset.push_back(m.sourceLanes.size() * m.batchFrames + c);
            m.laneRunStride.push_back(width);
        }
        m.trackHashes.push_back(kFnv1a64OffsetBasis);
        m.sourceLanes.insert(m.sourceLanes.end(), track.sourceLanes.begin(),
                             track.sourceLanes.end());
    }

    throwIfPreparationCancelled(cancel);
    commitRecording(m, 0);
    throwIfPreparationCancelled(cancel);
    manifest.close();
    return recorder;
}

} // namespace kestravon::ruvi
