#include "remote/token_table.h"

#include "remote/remote_crypto.h"

namespace kestravon::ruvi {

std::string TokenTable::keyOf(const std::string& token) {
    const auto digest = sha256Digest(token);
    return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

TokenTable::Issue TokenTable::issue(const std::string& token, const std::string& clientId,
                                    SteadyClock::time_point now) {
    std::string key = keyOf(token);
    std::lock_guard lock(mutex_);
    std::erase_if(tokens_, [now](const auto& entry) { return entry.second.expiry <= now; });
    if (tokens_.size() >= maxTokens) {
        auto oldest = tokens_.end();
        for (auto it = tokens_.begin(); it != tokens_.end(); ++it) {
            if (it->second.sessions == 0 &&
                (oldest == tokens_.end() || it->second.expiry < oldest->second.expiry)) {
                oldest = it;
            }
        }
        if (oldest == tokens_.end()) {
            return Issue::full;
        }
        tokens_.erase(oldest);
    }
    tokens_[std::move(key)] = RemoteToken{now + tokenLifetime, clientId, 0};
    return Issue::stored;
}

std::optional<RemoteToken> TokenTable::find(const std::string& token,
                                            SteadyClock::time_point now) const {
    const std::string key = keyOf(token);
    std::lock_guard lock(mutex_);
    const auto it = tokens_.find(key);
    if (it == tokens_.end() || it->second.expiry <= now) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<RemoteToken> TokenTable::acquire(const std::string& token,
                                               SteadyClock::time_point now) {
    const std::string key = keyOf(token);
    std::lock_guard lock(mutex_);
    const auto it = tokens_.find(key);
    if (it == tokens_.end() || it->second.expiry <= now) {
        return std::nullopt;
    }
    ++it->second.sessions;
    return it->second;
}

void TokenTable::release(const std::string& token) {
    const std::string key = keyOf(token);
    std::lock_guard lock(mutex_);
    const auto it = tokens_.find(key);
    if (it != tokens_.end() && it->second.sessions > 0) {
        --it->second.sessions;
    }
}

std::size_t TokenTable::liveCount(SteadyClock::time_point now) const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& entry : tokens_) {
        count += entry.second.expiry > now ? 1 : 0;
    }
    return count;
}

void TokenTable::clear() {
    std::lock_guard lock(mutex_);
    tokens_.clear();
}

} // namespace kestravon::ruvi
