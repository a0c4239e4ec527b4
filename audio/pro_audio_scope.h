#pragma once

#include "audio/hresult.h"

namespace kestravon::ruvi {

// The "Pro Audio" scheduling class of the calling thread: SCHED_FIFO while the scope lives,
// the previous policy afterwards. Without the privilege it takes the real-time priority that
// RLIMIT_RTPRIO grants, else the lowest nice value (down to -11) that RLIMIT_NICE grants, else
// keeps its normal priority; the scope still succeeds: playing at normal priority beats
// refusing to play.
class ProAudioScope {
public:
    ProAudioScope() = default;
    ProAudioScope(const ProAudioScope&) = delete;
    ProAudioScope& operator=(const ProAudioScope&) = delete;
    ~ProAudioScope() { revert(); }

    [[nodiscard]] HRESULT enter() noexcept;
    void revert() noexcept;
    bool realtime() const noexcept { return raised_; }
    bool niced() const noexcept { return niced_; }

    static constexpr int kAudioNice = -11;

private:
    void lowerNice() noexcept;

    bool raised_ = false;
    bool niced_ = false;
    int oldNice_ = 0;
    int oldPolicy_ = 0;
    int oldPriority_ = 0;
};

} // namespace kestravon::ruvi
