#include "audio/pro_audio_scope.h"

#include <algorithm>
#include <cerrno>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

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
        // Unprivileged: the real-time priority the resource limit grants, if any, else the
        // lowest nice value it grants. Either way the thread runs on.
        rlimit limit{};
        if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur >= 1) {
            raised.sched_priority =
                static_cast<int>(std::min<rlim_t>(limit.rlim_cur, raised.sched_priority));
            rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &raised);
        }
        if (rc != 0) {
            lowerNice();
            return S_OK;
        }
    }
    if (rc != 0) {
        return hresultFromErrno(rc);
    }
    raised_ = true;
    return S_OK;
}

void ProAudioScope::lowerNice() noexcept {
    const auto thread = static_cast<id_t>(gettid());
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, thread);
    rlimit limit{};
    if ((current == -1 && errno != 0) || getrlimit(RLIMIT_NICE, &limit) != 0) {
        return;
    }
    // RLIMIT_NICE n allows nice values down to 20 - n; -11 is as far as an audio thread goes.
    const int allowed = 20 - static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 40));
    const int target = std::max(allowed, kAudioNice);
    if (target < current && setpriority(PRIO_PROCESS, thread, target) == 0) {
        oldNice_ = current;
        niced_ = true;
    }
}

void ProAudioScope::revert() noexcept {
    if (raised_) {
        sched_param old{};
        old.sched_priority = oldPriority_;
        pthread_setschedparam(pthread_self(), oldPolicy_, &old);
        raised_ = false;
    }
    if (niced_) {
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), oldNice_);
        niced_ = false;
    }
}

} // namespace kestravon::ruvi
