#pragma once
// Background jobs the way the shell's timer drives them: a job request, then poll and snapshot
// until its reply comes; and WAV files written by sox for the loads.

#include "app/application.h"
#include "app/application_impl.h"
#include "session_test_files.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace kestravon::ruvi::testing {

// A sine at half scale written by sox; true when sox succeeded.
inline bool writeSoxWav(const std::string& path, int rate, int channels, double seconds,
                        int bits = 16, int hz = 440) {
    return runCommand("sox -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) +
                      " -b " + std::to_string(bits) + " '" + path + "' synth " +
                      std::to_string(seconds) + " sine " + std::to_string(hz) +
                      " vol 0.5 2>/dev/null") == 0;
}

// A job request as the front hands it over; "_remote" at the top when asked for.
inline nlohmann::json jobRequest(const std::string& method,
                                 const nlohmann::json& params = nlohmann::json::object(),
                                 int id = 1, bool remote = false) {
    nlohmann::json request = {{"id", id}, {"method", method}, {"params", params}};
    if (remote) {
        request["_remote"] = true;
    }
    return request;
}

// The answer of beginAsyncRequest, which must answer every job method.
inline nlohmann::json beginJob(Application& app, const nlohmann::json& request) {
    const auto reply = app.beginAsyncRequest(request);
    if (!reply) {
        ADD_FAILURE() << "no answer to " << request.dump();
        return nullptr;
    }
    return *reply;
}

inline bool pendingReply(const nlohmann::json& reply) {
    return reply.is_object() && reply.value("ok", false) && reply.contains("result") &&
           reply.at("result").value("pending", false);
}

// True once the current job's body has handed back its stage (the job is still current until
// the next poll collects it).
inline bool bodyFinished(Application& app) {
    auto& job = app.impl().job;
    return job && job->future.valid() &&
           job->future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

// Polls (with a snapshot between polls, as the timer does) until the job's reply comes.
inline nlohmann::json awaitJob(Application& app, double seconds = 120.0) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (std::chrono::steady_clock::now() < deadline) {
        std::vector<nlohmann::json> replies = app.pollAsyncJob();
        if (!replies.empty()) {
            EXPECT_EQ(replies.size(), 1u);
            return replies.front();
        }
        (void)app.buildControlState();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return {{"ok", false}, {"error", "the job did not finish"}};
}

// Starts a job and awaits its reply; a refusal is returned as it is.
inline nlohmann::json runJob(Application& app, const nlohmann::json& request,
                             double seconds = 120.0) {
    const nlohmann::json started = beginJob(app, request);
    if (!pendingReply(started)) {
        return started;
    }
    return awaitJob(app, seconds);
}

} // namespace kestravon::ruvi::testing
