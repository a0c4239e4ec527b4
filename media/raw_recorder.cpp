#include "media/raw_recorder.h"

#include "media/raw_recorder_impl.h"

#include <cstdint>
#include <immintrin.h>
#include <stdexcept>

namespace kestravon::ruvi {

namespace {

constexpr std::int32_t stateWord(RecorderState state) {
    return static_cast<std::int32_t>(state);
}

// A take has at most 128 tracks of at most 2 lanes.
constexpr std::size_t kMaxRecorderLanes = 256;

void streamSamples(float* target, const float* source, std::size_t count) noexcept {
    std::size_t i = 0;
    for (; i < count && (reinterpret_cast<std::uintptr_t>(target + i) & 15) != 0; ++i) {
        target[i] = source[i];
    }
    for (; i + 4 <= count; i += 4) {
        _mm_stream_ps(target + i, _mm_loadu_ps(source + i));
    }
    for (; i < count; ++i) {
        target[i] = source[i];
    }
}

// Interleaves `count` frames from `first` of every source lane into `tile`, four lanes by four
// frames at a time through register transposes, the rest one sample at a time.
void fillTile(float* tile, const float* const* inputs, const std::uint32_t* lanes,
              std::size_t laneCount, std::uint32_t first, std::uint32_t count) noexcept {
    std::size_t j = 0;
    if (count == 16) {
        for (; j + 4 <= laneCount; j += 4) {
            const float* s0 = inputs[lanes[j]] + first;
            const float* s1 = inputs[lanes[j + 1]] + first;
            const float* s2 = inputs[lanes[j + 2]] + first;
            const float* s3 = inputs[lanes[j + 3]] + first;
            for (std::size_t i = 0; i < 16; i += 4) {
                __m128 r0 = _mm_loadu_ps(s0 + i);
                __m128 r1 = _mm_loadu_ps(s1 + i);
                __m128 r2 = _mm_loadu_ps(s2 + i);
                __m128 r3 = _mm_loadu_ps(s3 + i);
                _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
                _mm_storeu_ps(tile + i * laneCount + j, r0);
                _mm_storeu_ps(tile + (i + 1) * laneCount + j, r1);
                _mm_storeu_ps(tile + (i + 2) * laneCount + j, r2);
                _mm_storeu_ps(tile + (i + 3) * laneCount + j, r3);
            }
        }
    }
    for (; j < laneCount; ++j) {
        const float* source = inputs[lanes[j]] + first;
        for (std::uint32_t i = 0; i < count; ++i) {
            tile[i * laneCount + j] = source[i];
        }
    }
}

bool recordingOrFinalizing(std::int32_t state) {
    return state == stateWord(RecorderState::Recording) ||
           state == stateWord(RecorderState::Finalizing);
}

} // namespace

const char* recorderFaultText(std::int32_t code) noexcept {
    switch (static_cast<RecorderFault>(code)) {
    case RecorderFault::QueueOverrun:
        return "Recording queue overrun; take incomplete and capture stopped";
    case RecorderFault::InvalidSourceBlock:
        return "Invalid raw source block; take incomplete and capture stopped";
    case RecorderFault::MultipleProducers:
        return "Multiple audio producers violated recorder contract";
    case RecorderFault::DiskWriter:
        return "Recording disk writer/preparation failed";
    case RecorderFault::None:
        break;
    }
    return "";
}

void RawRecorder::Impl::raiseTapFault(RecorderFault code, std::uint32_t frames) noexcept {
    accepting.store(false);
    std::int32_t expected = 0;
    if (fault.compare_exchange_strong(expected, static_cast<std::int32_t>(code))) {
        firstDroppedFrame.store(acceptedFrames.load());
        droppedFrames.store(frames);
    }
}

void RawRecorder::Impl::waitForProducersToLeave() const noexcept {
    while (activeProducers.load() != 0) {
        std::this_thread::yield();
    }
}

RawRecorder::RawRecorder() : impl_(std::make_unique<Impl>()) {}

RawRecorder::~RawRecorder() {
    // Destroying an Impl with a joinable thread would terminate the process; finish the take.
    if (impl_ && impl_->writer.joinable()) {
        stopWriter();
    }
}

RawRecorder::RawRecorder(RawRecorder&&) noexcept = default;

RawRecorder& RawRecorder::operator=(RawRecorder&& other) noexcept {
    if (this != &other) {
        if (impl_ && impl_->writer.joinable()) {
            stopWriter();
        }
        impl_ = std::move(other.impl_);
    }
    return *this;
}

bool RawRecorder::pushBlock(const float* const* inputs, std::uint64_t inputCount,
                            std::uint32_t frames) noexcept {
    Impl* m = impl_.get();
    if (m == nullptr) {
        return false;
    }
    m->activeProducers.fetch_add(1);
    if (!m->accepting.load()) {
        m->activeProducers.fetch_sub(1);
        return false;
    }
    if (m->producerBusy.exchange(1, std::memory_order_acquire) != 0) {
        // The busy flag belongs to the producer already inside.
        m->raiseTapFault(RecorderFault::MultipleProducers, frames);
        m->activeProducers.fetch_sub(1);
        return false;
    }

    const std::uint32_t* lanes = m->sourceLanes.data();
    const std::size_t laneCount = m->laneCount;
    bool valid = inputs != nullptr && frames >= 1 && frames <= m->blockFrames;
    for (std::size_t j = 0; valid && j < laneCount; ++j) {
        valid = lanes[j] < inputCount && inputs[lanes[j]] != nullptr;
    }
    RecorderFault refusal = RecorderFault::None;
    const std::uint64_t produced = m->producedBlocks.load(std::memory_order_relaxed);
    if (!valid) {
        refusal = RecorderFault::InvalidSourceBlock;
    } else if (produced - m->consumedBlocks.load(std::memory_order_acquire) >= m->queueSlots) {
        refusal = RecorderFault::QueueOverrun;
    }
    if (refusal != RecorderFault::None) {
        m->raiseTapFault(refusal, frames);
        m->producerBusy.store(0, std::memory_order_release);
        m->activeProducers.fetch_sub(1);
        return false;
    }

    if (frames < m->minBlockFrames.load(std::memory_order_relaxed)) {
        m->minBlockFrames.store(frames, std::memory_order_relaxed);
    }
    // In tiles of 16 frames: each input is read one cache line at a time into a stack tile, and
    // the tile goes to the slot with streaming stores. The slot's lines were last read by the
    // writer on another core; streaming them out does not wait to fetch them back first.
    float* slot = m->slotSamples.data() + (produced % m->queueSlots) * m->slotStride;
    constexpr std::uint32_t kTile = 16;
    alignas(64) float tile[kTile * kMaxRecorderLanes];
    for (std::uint32_t first = 0; first < frames; first += kTile) {
        const std::uint32_t count = frames - first < kTile ? frames - first : kTile;
        fillTile(tile, inputs, lanes, laneCount, first, count);
        streamSamples(slot + std::size_t{first} * laneCount, tile, count * laneCount);
    }
    _mm_sfence(); // the streamed samples are visible before the slot is published
    m->slotFrames[produced % m->queueSlots] = frames;
    m->acceptedFrames.fetch_add(frames);
    m->producedBlocks.store(produced + 1, std::memory_order_release);
    m->producerBusy.store(0, std::memory_order_release);
    m->activeProducers.fetch_sub(1);
    return true;
}

bool RawRecorder::installPrepared(RawRecorder& prepared) {
    if (!prepared.impl_ || !prepared.impl_->prepared || !impl_ || &prepared == this) {
        throw std::runtime_error("Invalid prepared recording");
    }
    Impl& m = *impl_;
    Impl& p = *prepared.impl_;
    if (m.accepting.load() || recordingOrFinalizing(m.state.load()) || !m.writerClosed.load() ||
        m.writer.joinable()) {
        throw std::runtime_error("Finish the previous recording before starting another take");
    }
    if (m.activeProducers.load() != 0) {
        return false;
    }

    m.started.store(false);
    m.writer = std::thread(runRecorderWriter, std::ref(m)); // throws std::system_error

    m.directory = std::move(p.directory);
    m.sampleRate = p.sampleRate;
    m.blockFrames = p.blockFrames;
    m.queueSlots = p.queueSlots;
    m.tracks = std::move(p.tracks);
    m.tap = std::move(p.tap);
    m.firstSourceFrame = p.firstSourceFrame;
    m.retainedQueueBytes = p.retainedQueueBytes;
    m.slotSamples = std::move(p.slotSamples);
    m.trackScratch = std::move(p.trackScratch);
    m.slotFrames = std::move(p.slotFrames);
    m.sourceLanes = std::move(p.sourceLanes);
    m.trackChannels = std::move(p.trackChannels);
    m.laneRunOffset = std::move(p.laneRunOffset);
    m.laneRunStride = std::move(p.laneRunStride);
    m.trackHashes = std::move(p.trackHashes);
    m.trackFiles = std::move(p.trackFiles);
    std::swap(m.journal, p.journal);
    p.journal.close();
    m.laneCount = p.laneCount;
    m.slotStride = p.slotStride;
    m.batchFrames = p.batchFrames;
    m.prepared = true;
    p.prepared = false;
    {
        std::lock_guard lock(m.textMutex);
        m.errorText.clear();
        m.shownDirectory = m.directory;
    }
    m.shownRate.store(m.sampleRate);
    m.shownBlockFrames.store(m.blockFrames);
    m.shownSlots.store(m.queueSlots);
    m.shownQueueBytes.store(m.slotSamples.size() * sizeof(float));

    for (auto* counter : {&m.producedBlocks, &m.consumedBlocks, &m.acceptedFrames, &m.writtenFrames,
                          &m.committedFrames, &m.droppedFrames, &m.firstDroppedFrame}) {
        counter->store(0);
    }
    m.minBlockFrames.store(m.blockFrames);
    m.stopRequested.store(false);
    m.fault.store(0);
    m.producerBusy.store(0);
    m.writerClosed.store(false);
    m.state.store(stateWord(RecorderState::Recording));
    m.accepting.store(true);
    m.started.store(true);
    return true;
}

void RawRecorder::begin(const RecorderTakeConfig& config) {
    Impl& m = *impl_;
    if (m.accepting.load() || recordingOrFinalizing(m.state.load())) {
        throw std::runtime_error(
            "Recorder is already recording/finalizing; stop deliberately before starting another "
            "take");
    }
    stopWriter();
    constexpr std::uint64_t kBudget = 536870912;
    if (config.retainedQueueBytes > kBudget) {
        throw std::runtime_error("Invalid retained recorder memory reserve");
    }
    RecorderTakeConfig withLiveQueue = config;
    withLiveQueue.retainedQueueBytes += m.slotSamples.size() * sizeof(float);
    RawRecorder prepared = prepareTake(withLiveQueue);
    while (!installPrepared(prepared)) {
        std::this_thread::yield();
    }
}

RecorderState RawRecorder::requestStop() noexcept {
    if (!impl_) {
        return RecorderState::Idle;
    }
    Impl& m = *impl_;
    m.accepting.store(false);
    std::int32_t before = stateWord(RecorderState::Recording);
    m.state.compare_exchange_strong(before, stateWord(RecorderState::Finalizing));
    m.stopRequested.store(true);
    return static_cast<RecorderState>(before);
}

void RawRecorder::stopWriter() {
    if (!impl_) {
        return;
    }
    Impl& m = *impl_;
    m.accepting.store(false);
    m.waitForProducersToLeave();
    m.stopRequested.store(true);
    if (m.writer.joinable()) {
        m.writer.join(); // from the writer itself this throws resource_deadlock_would_occur
    }
    m.writerClosed.store(true);
    m.trackFiles.clear();
    m.journal.close();
    // The ring goes with the take: a live recorder that kept it would count it against the next
    // take's budget, and after one large take no other could start.
    std::vector<float>().swap(m.slotSamples);
    std::vector<float>().swap(m.trackScratch);
    std::vector<std::uint32_t>().swap(m.slotFrames);
    m.shownQueueBytes.store(0);
}

void RawRecorder::stopAndDestroy() {
    stopWriter();
    impl_.reset();
}

RecorderStatus RawRecorder::status() const {
    RecorderStatus s;
    if (!impl_) {
        return s;
    }
    const Impl& m = *impl_;
    s.state = static_cast<RecorderState>(m.state.load());
    // Read against the direction of progress (a frame is accepted, then written, then committed),
    // so a snapshot taken while the take runs always shows committed <= written <= accepted.
    s.committedFrames = m.committedFrames.load();
    s.writtenFrames = m.writtenFrames.load();
    s.acceptedFrames = m.acceptedFrames.load();
    s.droppedFrames = m.droppedFrames.load();
    s.firstDroppedFrame = m.firstDroppedFrame.load();
    s.queueBytes = m.shownQueueBytes.load();
    const std::uint32_t slots = m.shownSlots.load();
    const std::uint64_t consumed = m.consumedBlocks.load();
    const std::uint64_t produced = m.producedBlocks.load();
    const std::uint64_t queued = produced > consumed ? produced - consumed : 0;
    s.queuedBlocks = static_cast<std::uint32_t>(queued < slots ? queued : slots);
    s.minBlockFrames = s.acceptedFrames == 0 ? 0 : m.minBlockFrames.load();
    const std::uint32_t rate = m.shownRate.load();
    if (rate != 0) {
        s.stallToleranceSeconds = static_cast<double>(slots) * s.minBlockFrames / rate;
        s.queueSeconds = static_cast<double>(m.shownBlockFrames.load()) * slots / rate;
    }
    const std::int32_t fault = m.fault.load();
    s.incomplete = fault != 0;
    s.faultText = recorderFaultText(fault);
    std::lock_guard lock(m.textMutex);
    if (m.writerClosed.load() && !m.errorText.empty()) {
        s.faultText = m.errorText;
    }
    s.takeDirectory = m.shownDirectory;
    return s;
}

void RawRecorder::holdWriterForTesting(bool hold) noexcept {
    if (impl_) {
        impl_->holdWriter.store(hold);
    }
}

} // namespace kestravon::ruvi
