#include "media/playback_bank.h"

#include "media/playback_preload.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

namespace kestravon::ruvi {

struct PlaybackBank::Impl {
    // Replaced only inside the busy window, where render cannot be reading them.
    std::uint32_t sampleRate = 0;
    std::uint32_t blockFrames = 0;
    std::uint64_t durationFrames = 0;
    std::vector<PlaybackLane> lanes;

    // What status reports about the content; the audio thread never reads these.
    std::mutex controlMutex;
    std::uint64_t loadedChannels = 0;
    std::uint64_t residentAudioBytes = 0;
    std::vector<std::uint32_t> laneDestinations;

    // The busy/readers hand-shake is store-then-load on both sides, so both stay seq_cst.
    std::atomic<bool> busy{false};
    std::atomic<std::int32_t> readers{0};
    std::atomic<bool> playing{false};
    std::atomic<bool> ended{false};
    std::atomic<bool> fault{false};
    std::atomic<std::uint32_t> publishedRate{0};
    std::atomic<std::uint64_t> publishedDuration{0};
    std::atomic<std::uint64_t> position{0};
    std::atomic<std::int64_t> pendingSeek{-1};

    std::atomic<std::uint64_t> loopSequence{0};
    std::atomic<std::uint64_t> loopStart{0};
    std::atomic<std::uint64_t> loopEnd{0};
    std::atomic<bool> loopEnabled{false};
    // The audio thread's own copy of the last consistent loop region.
    bool audioLoopEnabled = false;
    std::uint64_t audioLoopStart = 0;
    std::uint64_t audioLoopEnd = 0;

    void swap(PreloadResult* next);
    void enterFault() noexcept {
        fault.store(true);
        playing.store(false);
    }
};

namespace {

// Leaves render's reader count on every exit path, so a waiting load never hangs.
class ReaderScope {
public:
    explicit ReaderScope(std::atomic<std::int32_t>& readers) noexcept : readers_(readers) {
        readers_.fetch_add(1, std::memory_order_seq_cst);
    }
    ~ReaderScope() { readers_.fetch_sub(1, std::memory_order_seq_cst); }
    ReaderScope(const ReaderScope&) = delete;
    ReaderScope& operator=(const ReaderScope&) = delete;

private:
    std::atomic<std::int32_t>& readers_;
};

} // namespace

// Installs `next` (or empties the bank when null) while render is kept out.
void PlaybackBank::Impl::swap(PreloadResult* next) {
    std::vector<PlaybackLane> old;
    {
        std::lock_guard lock(controlMutex);
        busy.store(true, std::memory_order_seq_cst);
        while (readers.load(std::memory_order_seq_cst) != 0) {
            std::this_thread::yield();
        }
        old.swap(lanes);
        laneDestinations.clear();
        if (next) {
            sampleRate = next->sampleRate;
            blockFrames = next->blockFrames;
            durationFrames = next->durationFrames;
            loadedChannels = next->loadedChannels;
            residentAudioBytes = next->residentAudioBytes;
            lanes = std::move(next->lanes);
            for (const auto& lane : lanes) {
                laneDestinations.push_back(lane.lane);
            }
        } else {
            sampleRate = blockFrames = 0;
            durationFrames = loadedChannels = residentAudioBytes = 0;
        }
        playing.store(false);
        ended.store(false);
        fault.store(false);
        position.store(0);
        pendingSeek.store(-1);
        loopEnabled.store(false);
        loopStart.store(0);
        loopEnd.store(durationFrames);
        loopSequence.store(0);
        audioLoopEnabled = false;
        audioLoopStart = 0;
        audioLoopEnd = durationFrames;
        publishedDuration.store(durationFrames);
        publishedRate.store(sampleRate);
        busy.store(false, std::memory_order_seq_cst);
    }
    // `old` is out of render's reach now; its memory goes back outside the busy window.
}

PlaybackBank::PlaybackBank() : impl_(std::make_unique<Impl>()) {}

PlaybackBank::~PlaybackBank() {
    unload();
}

void PlaybackBank::load(const PlaybackConfig& config) {
    std::uint64_t resident = 0;
    {
        std::lock_guard lock(impl_->controlMutex);
        resident = impl_->residentAudioBytes;
    }
    PreloadResult next = preloadPlayback(config, resident);
    impl_->swap(&next);
}

void PlaybackBank::unload() {
    impl_->swap(nullptr);
}

bool PlaybackBank::play() {
    Impl& s = *impl_;
    const std::uint64_t duration = s.publishedDuration.load();
    if (duration == 0 || s.fault.load()) {
        return false;
    }
    if (s.position.load() >= duration) {
        // A finished bank plays again from the start unless a seek already waits.
        std::int64_t none = -1;
        s.pendingSeek.compare_exchange_strong(none, 0);
    }
    s.ended.store(false);
    s.playing.store(true);
    return true;
}

void PlaybackBank::stop() {
    impl_->playing.store(false);
}

bool PlaybackBank::seek(std::uint64_t frame) {
    Impl& s = *impl_;
    const std::uint64_t duration = s.publishedDuration.load();
    if (duration == 0) {
        return false;
    }
    s.pendingSeek.store(static_cast<std::int64_t>(std::min(frame, duration)));
    s.ended.store(false);
    return true;
}

bool PlaybackBank::setLoop(bool enabled, std::uint64_t start, std::uint64_t end) {
    Impl& s = *impl_;
    const std::uint64_t d = s.publishedDuration.load();
    const std::uint64_t e = end == 0 ? d : end;
    if (d == 0 || start >= e || e > d) {
        return false;
    }
    // Sequentially consistent throughout: the odd count is ordered before the region's stores
    // and the even one after them, without stand-alone fences (which the thread sanitizer
    // cannot follow).
    s.loopSequence.fetch_add(1);
    s.loopStart.store(start);
    s.loopEnd.store(e);
    s.loopEnabled.store(enabled);
    s.loopSequence.fetch_add(1);
    return true;
}

void PlaybackBank::render(float* const* channels, std::uint64_t channelCount,
                          std::uint32_t frames) noexcept {
    Impl& s = *impl_;
    ReaderScope reader(s.readers);
    // Silence first, so a bank that plays nothing never leaves the previous block in place.
    // Beyond the planar stride the buffers cannot be trusted with any write.
    if (channels && frames > 0 && frames <= kPlaybackMaxBlockFrames) {
        for (std::uint64_t c = 0; c < channelCount; ++c) {
            if (channels[c]) {
                std::memset(channels[c], 0, sizeof(float) * frames);
            }
        }
    }
    if (s.busy.load(std::memory_order_seq_cst) || s.lanes.empty() || frames == 0) {
        return;
    }
    if (!channels || frames > s.blockFrames) {
        s.enterFault();
        return;
    }
    for (const auto& lane : s.lanes) {
        if (lane.lane >= channelCount || !channels[lane.lane]) {
            s.enterFault();
            return;
        }
    }

    const std::uint64_t duration = s.durationFrames;
    std::uint64_t d = s.position.load(std::memory_order_relaxed);
    const std::int64_t seek = s.pendingSeek.exchange(-1);
    if (seek >= 0) {
        d = std::min(static_cast<std::uint64_t>(seek), duration);
    }

    // One attempt per block: a region being written keeps the previous copy for this block.
    const std::uint64_t sequence = s.loopSequence.load();
    if ((sequence & 1) == 0) {
        const std::uint64_t start = s.loopStart.load();
        const std::uint64_t end = s.loopEnd.load();
        const bool enabled = s.loopEnabled.load();
        if (s.loopSequence.load() == sequence) {
            s.audioLoopEnabled = enabled;
            s.audioLoopStart = start;
            s.audioLoopEnd = end;
        }
    }
    // An empty region cannot advance; treat it as no loop rather than spin.
    const bool looping =
        s.audioLoopEnabled && s.audioLoopStart < s.audioLoopEnd && s.audioLoopEnd <= duration;
    const std::uint64_t loopStart = s.audioLoopStart, loopEnd = s.audioLoopEnd;
    if (looping && (d < loopStart || d >= loopEnd)) {
        d = loopStart;
    }

    if (s.playing.load()) {
        const std::uint64_t limit = looping ? loopEnd : duration;
        std::uint32_t offset = 0;
        while (offset < frames) {
            if (d >= limit) {
                if (!looping) {
                    s.playing.store(false);
                    s.ended.store(true);
                    break;
                }
                d = loopStart;
            }
            const auto run =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(limit - d, frames - offset));
            for (const auto& lane : s.lanes) {
                const std::uint64_t length = lane.samples.size();
                if (d < length) {
                    const auto n =
                        static_cast<std::size_t>(std::min<std::uint64_t>(run, length - d));
                    std::memcpy(channels[lane.lane] + offset, lane.samples.data() + d,
                                n * sizeof(float));
                }
            }
            d += run;
            offset += run;
        }
        if (looping) {
            if (d >= loopEnd) {
                d = loopStart;
            }
        } else if (d >= duration) {
            s.playing.store(false);
            s.ended.store(true);
        }
    }
    s.position.store(d, std::memory_order_relaxed);
}

PlaybackStatus PlaybackBank::status() const {
    Impl& s = *impl_;
    PlaybackStatus out;
    {
        std::lock_guard lock(s.controlMutex);
        out.loadedChannels = s.loadedChannels;
        out.residentAudioBytes = s.residentAudioBytes;
        out.lanes = s.laneDestinations;
    }
    out.sampleRate = s.publishedRate.load();
    out.durationFrames = s.publishedDuration.load();
    out.frame = s.position.load();
    const std::int64_t seek = s.pendingSeek.load();
    out.requestedFrame = seek >= 0 ? static_cast<std::uint64_t>(seek) : out.frame;
    if (out.sampleRate != 0) {
        out.durationSeconds = static_cast<double>(out.durationFrames) / out.sampleRate;
        out.positionSeconds = static_cast<double>(out.frame) / out.sampleRate;
    }
    out.looping = s.loopEnabled.load();
    out.loopStartFrame = s.loopStart.load();
    out.loopEndFrame = s.loopEnd.load();
    PlaybackState state = PlaybackState::ready;
    if (s.fault.load()) {
        state = PlaybackState::fault;
        out.faultText = kPlaybackFaultText;
    } else if (out.durationFrames == 0) {
        state = PlaybackState::empty;
    } else if (s.ended.load()) {
        state = PlaybackState::ended;
    } else if (s.playing.load()) {
        state = PlaybackState::playing;
    } else if (out.frame != 0) {
        state = PlaybackState::paused;
    }
    out.state = static_cast<std::uint32_t>(state);
    return out;
}

} // namespace kestravon::ruvi
