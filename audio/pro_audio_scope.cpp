#include "audio/pro_audio_scope.h"

#include <cerrno>
#include <pthread.h>
#include <sched.h>

namespace kestravon::ruvi {

HRESULT ProAudioScope::enter() noexcept {
    sched_param old{};
    int rc = pthread_getschedparam(pthread_self(), &oldPolicy_, &old);
    if (rc != 0) {
        return hresultFromErrno(rc);
    }
    oldPriority_ = old.sched_priority;
    const int lowest = sched_get_priority_min(SCHED_FIFO);
    const int highest = sched_get_priority_max(SCHED_FIFO);
    // Below the kernel's own interrupt threads (50), above ordinary real-time helpers.
    sched_param raised{};
    raised.sched_priority = lowest + (highest - lowest) * 2 / 5;
    rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &raised);
    if (rc == EPERM) {
        return S_OK;
    }
    if (rc != 0) {
        return hresultFromErrno(rc);
    }
    raised_ = true;
    return S_OK;
}

void ProAudioScope::revert() noexcept {
    if (raised_) {
        sched_param old{};
        old.sched_priority = oldPriority_;
        pthread_setschedparam(pthread_self(), oldPolicy_, &old);
        raised_ = false;
    }
}

} // namespace kestravon::ruvi
