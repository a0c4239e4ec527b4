#pragma once

#include "media/take_config.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kestravon::ruvi {

enum class RecorderState : std::int32_t {
    Idle = 0,
    Recording = 1,
    Finalizing = 2,
    Complete = 3,
    Failed = 4,
};

// The first-fault word; only the first fault of a take is kept (a writer failure overrides it).
enum class RecorderFault : std::int32_t {
    None = 0,
    QueueOverrun = 1,
    InvalidSourceBlock = 2,
    MultipleProducers = 3,
    DiskWriter = 4,
};

// The user-facing text of a fault code ("" for none or an unknown code).
[[nodiscard]] const char* recorderFaultText(std::int32_t code) noexcept;

struct RecorderStatus {
    RecorderState state = RecorderState::Idle;
    std::uint64_t acceptedFrames = 0;
    std::uint64_t writtenFrames = 0;
    std::uint64_t committedFrames = 0;
    std::uint64_t droppedFrames = 0;
    std::uint64_t firstDroppedFrame = 0;
    std::uint64_t queueBytes = 0;
    std::uint32_t queuedBlocks = 0;
    std::uint32_t minBlockFrames = 0; // 0 until a block is accepted
    double stallToleranceSeconds = 0;
    double queueSeconds = 0;
    bool incomplete = false;
    std::string faultText;
    std::string takeDirectory;
};

// Records raw physical inputs into a take folder through a fixed ring of slots and one writer
// thread per take.
//
// Thread contract:
// - pushBlock: the one audio thread only. Lock-free, no allocation, no system call, never waits;
//   a second concurrent caller raises the multiple-producers fault.
// - the writer thread (started by installPrepared) drains the ring, writes the track files and
//   the journal, and finalizes; it is the only thread doing file I/O during a take.
// - prepareTake may run on any thread (a background job) on a recorder nobody else sees;
//   installPrepared, begin, requestStop, stopWriter and stopAndDestroy are control calls from
//   one thread at a time (the UI thread); they may allocate and block, never the audio thread.
// - status: any thread but the audio thread, at any time (it takes a short lock for the texts).
class RawRecorder {
public:
    RawRecorder();
    ~RawRecorder(); // joins a writer still attached, closes the take's files; the folder stays
    RawRecorder(RawRecorder&&) noexcept;
    RawRecorder& operator=(RawRecorder&&) noexcept;
    RawRecorder(const RawRecorder&) = delete;
    RawRecorder& operator=(const RawRecorder&) = delete;

    // Validates `config`, creates the take folder and its files, and returns a recorder holding
    // them open with its queue storage allocated. Throws on every failure; what was created stays.
    static RawRecorder prepareTake(const RecorderTakeConfig& config,
                                   const std::function<bool()>& cancel = {});

    // Adopts a prepared take and starts its writer. False, changing nothing, while the audio
    // thread is inside pushBlock (retry). Throws on misuse.
    [[nodiscard]] bool installPrepared(RawRecorder& prepared);

    // Prepares and installs in one call on the calling thread.
    void begin(const RecorderTakeConfig& config);

    // The audio-thread tap: copies the source lanes of one block into the ring. True when queued.
    bool pushBlock(const float* const* inputs, std::uint64_t inputCount,
                   std::uint32_t frames) noexcept;

    // Stops accepting and asks the writer to finalize; returns the state before the call.
    RecorderState requestStop() noexcept;

    // Stops accepting, waits for the tap to leave, lets the writer finish, joins it, closes
    // every file and frees the ring (queueBytes reads 0). Must not be called from the writer
    // thread.
    void stopWriter();

    // stopWriter, then releases everything; the recorder is empty afterwards.
    void stopAndDestroy();

    [[nodiscard]] RecorderStatus status() const;

    // Test seam: while held, the writer leaves the ring alone, so a full ring can be shown.
    void holdWriterForTesting(bool hold) noexcept;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace kestravon::ruvi
