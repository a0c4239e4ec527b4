#pragma once

// Private to the recorder: the state behind RawRecorder, shared by the tap, the control calls,
// the take preparation and the writer thread.

#include "media/raw_recorder.h"
#include "media/take_file_io.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace kestravon::ruvi {

// The writer joins consecutive small blocks into writes of up to this many frames per track: at
// 128-frame device blocks one write per block and track would cost 375 system calls a second per
// track.
inline constexpr std::uint32_t kWriterBatchFrames = 4096;

// Thread contract: the audio thread touches only the atomics and, while `accepting`, the ring
// (slotSamples, slotFrames) and the read-only take layout; the writer thread owns the files,
// hashes and scratch from `started` until it ends; control calls change the rest only while no
// writer is attached and no producer is inside the tap.
//
// Memory ordering: flags, the fault word, the state word and activeProducers are sequentially
// consistent, so "stop or fault seen, then no producer inside, then ring empty" really means no
// further block can arrive. The ring counters publish slots with release and read with acquire.
struct RawRecorder::Impl {
    // Take configuration (written only while no writer runs and the tap is closed).
    std::string directory;
    std::uint32_t sampleRate = 48000;
    std::uint32_t blockFrames = 512;
    std::uint32_t queueSlots = 256;
    std::vector<RecorderTrackSpec> tracks;
    std::string tap = kRecorderTap;
    std::uint64_t firstSourceFrame = 0;
    std::uint64_t retainedQueueBytes = 0;

    std::atomic<std::int32_t> state{0};
    std::atomic<bool> accepting{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> writerClosed{true};
    std::atomic<bool> started{false};
    std::atomic<std::int32_t> activeProducers{0};
    std::atomic<std::uint32_t> minBlockFrames{512};
    std::atomic<std::uint32_t> producerBusy{0};
    std::atomic<std::int32_t> fault{0};

    std::atomic<std::uint64_t> producedBlocks{0};
    std::atomic<std::uint64_t> consumedBlocks{0};
    std::atomic<std::uint64_t> acceptedFrames{0};
    std::atomic<std::uint64_t> writtenFrames{0};
    std::atomic<std::uint64_t> committedFrames{0};
    std::atomic<std::uint64_t> droppedFrames{0};
    std::atomic<std::uint64_t> firstDroppedFrame{0};

    std::vector<float> slotSamples;  // queueSlots x blockFrames x laneCount, frame-interleaved
    std::vector<float> trackScratch; // one batch of slots, regrouped track by track for writing
    std::vector<std::uint32_t> slotFrames;
    std::vector<std::uint32_t> sourceLanes;
    std::vector<RecordingFile> trackFiles;
    std::vector<std::uint64_t> trackHashes;
    std::vector<std::uint32_t> trackChannels;
    std::vector<std::uint64_t> laneRunOffset; // per lane position: its track's run start + channel
    std::vector<std::uint32_t> laneRunStride; // per lane position: its track's width
    RecordingFile journal;
    std::thread writer;
    std::string errorText; // guarded by textMutex
    std::uint64_t laneCount = 0;
    std::uint64_t slotStride = 0;
    std::uint64_t batchFrames = 0; // frames per track the writer gathers into one write
    bool prepared = false;

    // What status() reads from other threads while a take is swapped in.
    std::atomic<std::uint32_t> shownRate{48000};
    std::atomic<std::uint32_t> shownBlockFrames{512};
    std::atomic<std::uint32_t> shownSlots{256};
    std::atomic<std::uint64_t> shownQueueBytes{0};
    mutable std::mutex textMutex; // directory copy for status, errorText
    std::string shownDirectory;

    std::atomic<bool> holdWriter{false};

    // Closes the tap and records `code` as the first fault, with the refused block's frames.
    void raiseTapFault(RecorderFault code, std::uint32_t frames) noexcept;
    void waitForProducersToLeave() const noexcept;
};

// The writer thread's body: waits for `started`, drains, commits and finalizes or fails.
void runRecorderWriter(RawRecorder::Impl& impl) noexcept;

// Flushes every track file, journals a commit of `frames` with the running hashes, flushes the
// journal and publishes `frames` as committed.
void commitRecording(RawRecorder::Impl& impl, std::uint64_t frames);

} // namespace kestravon::ruvi
