#include "remote/login_limiter.h"

namespace kestravon::ruvi {

bool LoginLimiter::tryAttempt(const std::string& peer, SteadyClock::time_point now) {
    std::lock_guard lock(mutex_);
    std::erase_if(attempts_,
                  [now](const auto& entry) { return now - entry.second.firstAttempt >= window; });
    const auto it = attempts_.find(peer);
    if (it != attempts_.end()) {
        return ++it->second.count <= maxAttempts;
    }
    if (attempts_.size() >= maxAddresses) {
        return false;
    }
    attempts_.emplace(peer, LoginAttempts{now, 1});
    return true;
}

void LoginLimiter::clear() {
    std::lock_guard lock(mutex_);
    attempts_.clear();
}

} // namespace kestravon::ruvi
