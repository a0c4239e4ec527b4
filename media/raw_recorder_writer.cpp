#include "media/raw_recorder_impl.h"
#include "media/take_hash.h"
#include "media/take_journal.h"
#include "media/take_wav_header.h"

#include <bit>
#include <chrono>
#include <exception>

namespace kestravon::ruvi {

static_assert(std::endian::native == std::endian::little,
              "track files hold little-endian float32 written straight from memory");

namespace {

using Impl = RawRecorder::Impl;

// All track files of a take live in one folder, so one file-system flush covers them. Flushing
// them one by one costs about 4 ms each here: 128 tracks would spend half of every second of
// audio in flushes while the ring fills.
void flushTrackFiles(const Impl& m) {
    if (!m.trackFiles.empty()) {
        flushRecordingFileSystem(m.trackFiles.front());
    }
}

// Writes each track's run of the batch to its file and continues its hash over the same bytes,
// four equally wide tracks at a time.
void hashAndWriteRuns(Impl& m, std::uint64_t batchFrames) {
    const std::uint64_t capacity = m.batchFrames;
    const float* scratch = m.trackScratch.data();
    const std::size_t tracks = m.trackFiles.size();
    std::size_t t = 0;
    std::uint64_t p = 0;
    while (t < tracks) {
        const std::uint32_t width = m.trackChannels[t];
        const std::uint64_t bytes = batchFrames * width * sizeof(float);
        const void* runs[4];
        std::size_t group = 0;
        while (group < 4 && t + group < tracks && m.trackChannels[t + group] == width) {
            runs[group] = scratch + (p + group * width) * capacity;
            writeRecordingBytes(m.trackFiles[t + group], runs[group], bytes);
            ++group;
        }
        if (group == 4) {
            fnv1a64x4(&m.trackHashes[t], runs, bytes);
        } else {
            for (std::size_t g = 0; g < group; ++g) {
                m.trackHashes[t + g] = fnv1a64(m.trackHashes[t + g], runs[g], bytes);
            }
        }
        t += group;
        p += group * width;
    }
}

// Writes as many consecutive queued blocks as fit one batch (at least one slot, up to
// kWriterBatchFrames frames), without passing a commit point, so each track gets one write per
// batch and commits still fall on the first block end a second after the previous one. Returns
// false when the ring was empty.
bool writeNextBatch(Impl& m, std::uint64_t& written, std::uint64_t lastCommit) {
    const std::uint64_t consumed = m.consumedBlocks.load(std::memory_order_relaxed);
    const std::uint64_t produced = m.producedBlocks.load(std::memory_order_acquire);
    if (consumed == produced) {
        return false;
    }
    const std::size_t lanes = m.laneCount;
    const std::uint64_t capacity = m.batchFrames;
    float* scratch = m.trackScratch.data();

    std::uint64_t batchFrames = 0;
    std::uint64_t blocks = 0;
    while (consumed + blocks < produced) {
        const std::uint64_t slot = (consumed + blocks) % m.queueSlots;
        const std::uint32_t frames = m.slotFrames[slot];
        if (batchFrames + frames > capacity) {
            break;
        }
        // Regroup frame-interleaved lanes into one contiguous run per track: lane position j of
        // a track whose runs start at lane position p, of width w, lands at
        // p * capacity + frame * w + (j - p). Done in tiles of 16 frames so the runs, a power of
        // two apart, are written a cache line at a time instead of evicting one another.
        const float* source = m.slotSamples.data() + slot * m.slotStride;
        const std::uint64_t* offset = m.laneRunOffset.data();
        const std::uint32_t* stride = m.laneRunStride.data();
        constexpr std::uint32_t kTile = 16;
        for (std::uint32_t first = 0; first < frames; first += kTile) {
            const std::uint32_t count = frames - first < kTile ? frames - first : kTile;
            const float* tile = source + std::size_t{first} * lanes;
            for (std::size_t j = 0; j < lanes; ++j) {
                float* run = scratch + offset[j] + (batchFrames + first) * stride[j];
                for (std::uint32_t i = 0; i < count; ++i) {
                    run[i * stride[j]] = tile[i * lanes + j];
                }
            }
        }
        batchFrames += frames;
        ++blocks;
        if (written + batchFrames - lastCommit >= m.sampleRate) {
            break;
        }
    }

    hashAndWriteRuns(m, batchFrames);
    written += batchFrames;
    m.writtenFrames.fetch_add(batchFrames);
    m.consumedBlocks.store(consumed + blocks, std::memory_order_release);
    return true;
}

// Stop or fault first, then no producer inside, then an empty ring: checked in this order, a
// block accepted after the ring looked empty can no longer be missed.
bool takeIsOver(const Impl& m) {
    if (!m.stopRequested.load() && m.fault.load() == 0) {
        return false;
    }
    if (m.activeProducers.load() != 0) {
        return false;
    }
    return m.producedBlocks.load() == m.consumedBlocks.load();
}

void finalize(Impl& m, std::uint64_t frames) {
    m.state.store(static_cast<std::int32_t>(RecorderState::Finalizing));
    commitRecording(m, frames);
    for (std::size_t t = 0; t < m.trackFiles.size(); ++t) {
        writeWavHeader(m.trackFiles[t], m.sampleRate, m.trackChannels[t], frames);
    }
    flushTrackFiles(m);
    const std::int32_t fault = m.fault.load();
    appendJournalLine(m.journal, journalFinalized(fault, frames, m.droppedFrames.load(),
                                                  m.firstDroppedFrame.load()));
    flushRecordingFile(m.journal);
    m.state.store(
        static_cast<std::int32_t>(fault != 0 ? RecorderState::Failed : RecorderState::Complete));
}

void failWriter(Impl& m, const std::string& text) noexcept {
    try {
        std::lock_guard lock(m.textMutex);
        m.errorText = text;
    } catch (...) {
    }
    m.accepting.store(false);
    m.waitForProducersToLeave();
    m.fault.exchange(static_cast<std::int32_t>(RecorderFault::DiskWriter));
    const std::uint64_t written = m.writtenFrames.load();
    m.firstDroppedFrame.store(written);
    m.droppedFrames.store(m.acceptedFrames.load() - written);
    try {
        appendJournalLine(m.journal, journalWriterFailed(text, written, m.committedFrames.load(),
                                                         m.droppedFrames.load(), written));
        flushRecordingFile(m.journal);
    } catch (...) {
        // The first failure's text stands.
    }
    m.state.store(static_cast<std::int32_t>(RecorderState::Failed));
}

void writerLoop(Impl& m) {
    std::uint64_t written = 0;
    std::uint64_t lastCommit = 0;
    for (;;) {
        if (!m.holdWriter.load()) {
            while (writeNextBatch(m, written, lastCommit)) {
                if (written - lastCommit >= m.sampleRate) {
                    commitRecording(m, written);
                    lastCommit = written;
                }
            }
            if (takeIsOver(m)) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    finalize(m, written);
}

} // namespace

void commitRecording(Impl& m, std::uint64_t frames) {
    flushTrackFiles(m);
    appendJournalLine(m.journal, journalCommitted(frames, m.trackHashes));
    flushRecordingFile(m.journal);
    m.committedFrames.store(frames, std::memory_order_release);
}

void runRecorderWriter(Impl& m) noexcept {
    while (!m.started.load(std::memory_order_acquire)) {
        std::this_thread::yield();
    }
    try {
        writerLoop(m);
    } catch (const std::exception& error) {
        const std::string text = error.what();
        failWriter(m, text.empty() ? "Unknown recording writer failure" : text);
    } catch (...) {
        failWriter(m, "Unknown recording writer failure");
    }
}

} // namespace kestravon::ruvi
