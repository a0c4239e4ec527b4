// The hand-off between LAN threads and the UI thread, with plain threads as the UI side.

#include "shell/pending_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Counts wake-ups so a test can wait until its submitters have queued.
struct WakeCounter {
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;

    PendingQueue::Wake wake() {
        return [this] {
            std::lock_guard lock(mutex);
            ++count;
            changed.notify_all();
        };
    }
    void waitFor(int n) {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 60s, [&] { return count >= n; }));
    }
};

Json echo(const Json& request) {
    return {{"id", request.value("id", 0)}, {"ok", true}, {"result", request}};
}

TEST(PendingHandOffThreading, AFullQueueRefusesAtOnceAndTimedOutEntriesNeverRun) {
    WakeCounter wakes;
    PendingQueue queue(wakes.wake());
    std::vector<std::thread> submitters;
    std::vector<Json> replies(PendingQueue::kMaxQueued);
    std::atomic<int> answered{0};
    for (std::size_t k = 0; k < PendingQueue::kMaxQueued; ++k) {
        submitters.emplace_back([&, k] {
            replies[k] = queue.submit({{"id", static_cast<int>(k) + 1}, {"method", "status"}});
            answered.fetch_add(1);
        });
    }
    wakes.waitFor(static_cast<int>(PendingQueue::kMaxQueued));

    const Json busy = queue.submit({{"id", 99}, {"method", "status"}});
    EXPECT_EQ(busy, Json({{"id", 99}, {"ok", false}, {"error", "Native control busy"}}));
    EXPECT_EQ(answered.load(), 0) << "the 33rd must not wait for the others";

    for (auto& t : submitters) {
        t.join();
    }
    for (std::size_t k = 0; k < replies.size(); ++k) {
        EXPECT_EQ(replies[k], Json({{"id", static_cast<int>(k) + 1},
                                    {"ok", false},
                                    {"error", "Native control busy; retry"}}));
    }
    // The UI thread comes back: every entry was abandoned, so nothing runs.
    int ran = 0;
    queue.drain([&](const Json& r) {
        ++ran;
        return echo(r);
    });
    EXPECT_EQ(ran, 0);
}

TEST(PendingHandOffThreading, ALateConsumerGivesRetryAfterTwoSecondsAndSkipsTheEntry) {
    std::atomic<bool> woken{false};
    PendingQueue queue([&] { woken.store(true); });
    std::atomic<int> ran{0};
    std::atomic<bool> gaveUp{false};
    std::thread consumer([&] {
        // The UI thread comes back only after the submitter gave up, however late that is.
        while (!gaveUp.load()) {
            std::this_thread::sleep_for(10ms);
        }
        queue.drain([&](const Json& r) {
            ran.fetch_add(1);
            return echo(r);
        });
    });
    const auto start = Clock::now();
    const Json reply = queue.submit({{"id", 3}, {"method", "status"}});
    const auto waited = Clock::now() - start;
    gaveUp.store(true);
    consumer.join();
    EXPECT_TRUE(woken.load());
    EXPECT_EQ(reply, Json({{"id", 3}, {"ok", false}, {"error", "Native control busy; retry"}}));
    // The wait is the queue's own two-second timeout: a timed wait never ends early, and a
    // thread woken at its deadline runs within milliseconds even on a busy machine, so 450 ms
    // of lateness is a fault of the queue, not of the load.
    EXPECT_GE(waited, 1900ms);
    EXPECT_LT(waited, 2450ms);
    EXPECT_EQ(ran.load(), 0);
}

TEST(PendingHandOffThreading, RequestsReachTheConsumerMarkedRemoteOnItsOwnThread) {
    std::mutex mutex;
    std::condition_variable woke;
    bool pending = false;
    bool stop = false;
    std::vector<Json> seen;
    std::vector<std::thread::id> ranOn;
    PendingQueue queue([&] {
        std::lock_guard lock(mutex);
        pending = true;
        woke.notify_all();
    });
    std::thread consumer([&] {
        std::unique_lock lock(mutex);
        while (!stop) {
            woke.wait(lock, [&] { return pending || stop; });
            pending = false;
            lock.unlock();
            queue.drain([&](const Json& r) {
                std::lock_guard inner(mutex);
                seen.push_back(r);
                ranOn.push_back(std::this_thread::get_id());
                return echo(r);
            });
            lock.lock();
        }
    });
    std::thread::id submitterThread;
    Json replies[3];
    std::thread submitter([&] {
        submitterThread = std::this_thread::get_id();
        replies[0] = queue.submit({{"id", 1}, {"method", "status"}, {"_remote", false}});
        replies[1] = queue.submit({{"method", "getControlState"}, {"params", {{"after", 0}}}});
        replies[2] = queue.submit({{"id", -2147483648LL}, {"method", "status"}});
    });
    submitter.join();
    {
        std::lock_guard lock(mutex);
        stop = true;
        woke.notify_all();
    }
    consumer.join();

    ASSERT_EQ(seen.size(), 3u);
    for (std::size_t k = 0; k < seen.size(); ++k) {
        EXPECT_EQ(seen[k].at("_remote"), true);
        EXPECT_NE(ranOn[k], submitterThread);
        EXPECT_EQ(replies[k].at("ok"), true);
        EXPECT_EQ(replies[k].at("result"), seen[k]);
    }
    EXPECT_FALSE(seen[1].contains("id"));
}

TEST(PendingHandOffThreading, ClosingAnswersWaitingEntriesAndLaterSubmissionsAtOnce) {
    WakeCounter wakes;
    PendingQueue queue(wakes.wake());
    std::vector<Json> replies(3);
    std::vector<std::thread> submitters;
    for (int k = 0; k < 3; ++k) {
        submitters.emplace_back([&, k] {
            replies[k] = queue.submit({{"id", 10 + k}, {"method", "status"}});
        });
    }
    wakes.waitFor(3);
    queue.close();
    for (auto& t : submitters) {
        t.join();
    }
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(replies[k],
                  Json({{"id", 10 + k}, {"ok", false}, {"error", "Native control closing"}}));
    }
    EXPECT_TRUE(queue.closing());
    EXPECT_EQ(queue.submit({{"id", 20}, {"method", "status"}}),
              Json({{"id", 20}, {"ok", false}, {"error", "Native control is closing"}}));
    int ran = 0;
    queue.drain([&](const Json& r) {
        ++ran;
        return echo(r);
    });
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(wakes.count, 3);
}

TEST(PendingHandOffThreading, UnreadableIdsAreAnsweredBeforeAnythingIsQueued) {
    std::atomic<int> wakes{0};
    PendingQueue queue([&] { wakes.fetch_add(1); });
    const Json refused = {{"id", 0}, {"ok", false}, {"error", "Invalid request id"}};
    for (const char* text :
         {R"({"id": "7", "method": "status"})", R"({"id": 4294967296, "method": "status"})",
          R"({"id": 2147483648, "method": "status"})", R"({"id": 1.5, "method": "status"})",
          R"({"id": null})", R"({"id": [1]})", R"(["status"])", R"("status")", "42"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(queue.submit(Json::parse(text)), refused);
    }
    EXPECT_EQ(wakes.load(), 0);
}

} // namespace
} // namespace kestravon::ruvi
