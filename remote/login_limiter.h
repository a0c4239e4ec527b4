#pragma once

#include "remote/connection.h"

#include <map>
#include <mutex>
#include <string>

namespace kestravon::ruvi {

struct LoginAttempts {
    SteadyClock::time_point firstAttempt;
    int count = 0;
};

// Login attempts per peer address: at most 5 in a window of 60 s, at most 256 addresses.
// Thread contract: every member locks the limiter's own mutex; safe from any server thread.
class LoginLimiter {
public:
    static constexpr int maxAttempts = 5;
    static constexpr std::size_t maxAddresses = 256;
    static constexpr auto window = std::chrono::seconds(60);

    // Counts the attempt; false when it is over the limit.
    [[nodiscard]] bool tryAttempt(const std::string& peer, SteadyClock::time_point now);
    void clear();

private:
    std::mutex mutex_;
    std::map<std::string, LoginAttempts> attempts_;
};

} // namespace kestravon::ruvi
