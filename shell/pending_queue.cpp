// The cross-thread hand-off: bounded queue, bounded wait.

#include "shell/pending_queue.h"

#include "app/json_read.h"

#include <exception>
#include <string>
#include <utility>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

Json refusal(std::int32_t id, const std::string& text) {
    return {{"id", id}, {"ok", false}, {"error", text}};
}

} // namespace

PendingQueue::PendingQueue(Wake wake) : wake_(std::move(wake)) {}

Json PendingQueue::submit(const Json& request) {
    // The id is read here, before anything is queued: a WebSocket client may send any value,
    // and nothing it sends may reach the UI thread unread.
    std::int32_t id = 0;
    try {
        id = readRequestId(request);
    } catch (const std::exception& e) {
        return refusal(0, e.what());
    }
    if (closing_.load()) {
        return refusal(id, kNativeControlIsClosingText);
    }
    auto entry = std::make_shared<Pending>();
    try {
        entry->request = request;
        entry->request["_remote"] = true;
    } catch (const std::exception& e) {
        return refusal(id, e.what());
    }
    std::future<Json> answer = entry->reply.get_future();
    {
        std::lock_guard lock(mutex_);
        if (closing_.load() || queue_.size() >= kMaxQueued) {
            return refusal(id, kNativeControlBusyText);
        }
        queue_.push_back(entry);
    }
    if (wake_) {
        wake_();
    }
    if (answer.wait_for(kReplyWait) == std::future_status::ready) {
        return answer.get();
    }
    entry->abandoned.store(true);
    return refusal(id, kNativeControlRetryText);
}

void PendingQueue::drain(const Runner& run) {
    std::deque<std::shared_ptr<Pending>> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(queue_);
    }
    for (const auto& entry : taken) {
        if (entry->abandoned.load()) {
            continue;
        }
        Json reply;
        try {
            reply = run(entry->request);
        } catch (const std::exception& e) {
            reply = refusal(readRequestId(entry->request), e.what());
        } catch (...) {
            reply = refusal(readRequestId(entry->request), "Native request failed");
        }
        entry->reply.set_value(std::move(reply));
    }
}

void PendingQueue::close() {
    closing_.store(true);
    std::lock_guard lock(mutex_);
    for (const auto& entry : queue_) {
        entry->abandoned.store(true);
        entry->reply.set_value(refusal(readRequestId(entry->request), kNativeControlClosingText));
    }
    queue_.clear();
}

} // namespace kestravon::ruvi
