#pragma once
// The hand-off from the LAN server's threads to the UI thread.
//
// Thread contract: submit() is called by any thread but the UI thread (the LAN server calls it
// one request at a time); drain() and close() run on the UI thread only. The mutex is held only
// to test and append, to take the queue out and to answer the entries at close, never while a
// request runs. The wake callback is the only way the UI thread learns of new entries; it must
// only schedule the drain on the UI thread's loop (the shell uses g_idle_add), never run it.

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>

namespace kestravon::ruvi {

inline constexpr const char* kNativeControlBusyText = "Native control busy";
inline constexpr const char* kNativeControlRetryText = "Native control busy; retry";
inline constexpr const char* kNativeControlClosingText = "Native control closing";
inline constexpr const char* kNativeControlIsClosingText = "Native control is closing";

// One request queued for the UI thread; shared by the submitter and the queue, so a late answer
// after the submitter gave up is harmless.
struct Pending {
    nlohmann::json request; // a copy with "_remote": true
    std::promise<nlohmann::json> reply;
    std::atomic<bool> abandoned{false};
};

class PendingQueue {
public:
    using Wake = std::function<void()>;
    using Runner = std::function<nlohmann::json(const nlohmann::json&)>;

    static constexpr std::size_t kMaxQueued = 32;
    static constexpr std::chrono::milliseconds kReplyWait{2000};

    explicit PendingQueue(Wake wake);
    PendingQueue(const PendingQueue&) = delete;
    PendingQueue& operator=(const PendingQueue&) = delete;

    // The LAN server's control handler: marks the request remote, queues it, wakes the UI thread
    // and waits at most kReplyWait for its answer. Never throws for the outcomes it answers
    // (busy, timeout, closing, an unreadable id).
    nlohmann::json submit(const nlohmann::json& request);

    // UI thread: takes the whole queue out and answers every entry whose submitter still waits
    // with run(request), in queue order; abandoned entries are dropped unanswered. run must not
    // throw (localRequest never does); a throw is answered with its text.
    void drain(const Runner& run);

    // UI thread, at shut-down: later submissions are refused and every queued entry is answered
    // "Native control closing".
    void close();
    [[nodiscard]] bool closing() const noexcept { return closing_.load(); }

private:
    Wake wake_;
    std::atomic<bool> closing_{false};
    std::mutex mutex_;
    std::deque<std::shared_ptr<Pending>> queue_;
};

} // namespace kestravon::ruvi
