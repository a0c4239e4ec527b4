#pragma once

#include "remote/connection.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace kestravon::ruvi {

inline constexpr std::size_t maxTokens = 32;
inline constexpr auto tokenLifetime = std::chrono::hours(12);

struct RemoteToken {
    SteadyClock::time_point expiry;
    std::string clientId;
    // Authenticated WebSocket sessions using this token; such a token is never evicted.
    int sessions = 0;
};

// Bearer tokens. Entries are keyed by the SHA-256 of the token, so a lookup never compares
// secret bytes and its timing says nothing about a stored token.
// Thread contract: every member locks the table's own mutex; safe from any server thread.
// Nothing here is called on the audio thread.
class TokenTable {
public:
    enum class Issue { stored, full };

    // Prunes expired tokens, then stores; a full table first evicts the oldest token that no
    // authenticated session holds.
    Issue issue(const std::string& token, const std::string& clientId, SteadyClock::time_point now);
    // The record of a valid token (present and expiring after now).
    std::optional<RemoteToken> find(const std::string& token, SteadyClock::time_point now) const;
    // Like find, and counts one more session holding it.
    std::optional<RemoteToken> acquire(const std::string& token, SteadyClock::time_point now);
    void release(const std::string& token);
    std::size_t liveCount(SteadyClock::time_point now) const;
    void clear();

private:
    static std::string keyOf(const std::string& token);

    mutable std::mutex mutex_;
    std::map<std::string, RemoteToken> tokens_;
};

} // namespace kestravon::ruvi
