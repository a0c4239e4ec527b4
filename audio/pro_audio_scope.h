#pragma once

#include "audio/hresult.h"

namespace kestravon::ruvi {

// The "Pro Audio" scheduling class of the calling thread: SCHED_FIFO while the scope lives,
// the previous policy afterwards. Without the privilege the thread keeps its normal priority
// and the scope still succeeds: playing at normal priority beats refusing to play.
class ProAudioScope {
public:
    ProAudioScope() = default;
    ProAudioScope(const ProAudioScope&) = delete;
    ProAudioScope& operator=(const ProAudioScope&) = delete;
    ~ProAudioScope() { revert(); }

    [[nodiscard]] HRESULT enter() noexcept;
    void revert() noexcept;
    bool realtime() const noexcept { return raised_; }

private:
    bool raised_ = false;
    int oldPolicy_ = 0;
    int oldPriority_ = 0;
};

} // namespace kestravon::ruvi
