// A headless stage computer for the console page's browser tests: the real control core and the
// real LAN server on 127.0.0.1, with the desktop's request hand-off in miniature. LAN requests
// are queued to the main thread, which runs them one at a time through the job starter and the
// request gate, collects finished jobs every 100 ms, and answers with the LAN status added as
// the desktop front does.
//
//   ruvi_ui_harness --ui DIR --password TEXT [--port N] [--session FILE] [--start-audio 1]
//                   [--loopback 0]
//
// The session file holds applySession params; it is applied locally before the server starts,
// and with --start-audio the audio starts with the device selection its UI document keeps.
// The server binds 127.0.0.1 unless --loopback 0. Prints "ready <port>" once listening;
// SIGINT or SIGTERM stops it in order and exits 0.

#include "app/application.h"
#include "audio/endpoint_catalogue.h"
#include "audio/virtual_endpoints.h"
#include "remote/remote_server.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <fstream>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

namespace {

using kestravon::ruvi::Application;
using nlohmann::json;

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

struct Pending {
    json request;
    std::promise<json> reply;
};

std::mutex queueMutex;
std::condition_variable queueReady;
std::deque<std::shared_ptr<Pending>> queue;
bool closing = false;

json submit(const json& request) {
    auto pending = std::make_shared<Pending>();
    pending->request = request;
    pending->request["_remote"] = true;
    auto future = pending->reply.get_future();
    {
        std::lock_guard lock(queueMutex);
        if (closing || queue.size() >= 32) {
            return {{"id", request.value("id", 0)},
                    {"ok", false},
                    {"error", "Native control busy; retry"}};
        }
        queue.push_back(pending);
    }
    queueReady.notify_one();
    if (future.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
        return {
            {"id", request.value("id", 0)}, {"ok", false}, {"error", "Native control busy; retry"}};
    }
    return future.get();
}

json run(Application& app, const json& request) {
    try {
        if (auto answer = app.beginAsyncRequest(request)) {
            return *answer;
        }
        json reply = app.handleRequest(request);
        if (reply.value("ok", false)) {
            const std::string method = request.value("method", "");
            if (method == "capabilities") {
                reply["result"]["remote"] = true;
            } else if (method == "status") {
                reply["result"]["remote"] = kestravon::ruvi::remoteServer().status();
            } else if (method == "getControlState") {
                reply["result"]["status"]["remote"] = kestravon::ruvi::remoteServer().status();
            }
        }
        return reply;
    } catch (const std::exception& e) {
        return {{"id", 0}, {"ok", false}, {"error", e.what()}};
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

int main(int argc, char** argv) {
    std::string uiDir;
    std::string password;
    std::string sessionPath;
    unsigned port = 0;
    bool startAudio = false;
    bool loopback = true;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--ui") {
            uiDir = value;
        } else if (key == "--password") {
            password = value;
        } else if (key == "--port") {
            port = static_cast<unsigned>(std::stoul(value));
        } else if (key == "--session") {
            sessionPath = value;
        } else if (key == "--start-audio") {
            startAudio = value == "1";
        } else if (key == "--loopback") {
            loopback = value != "0";
        }
    }
    if (uiDir.empty() || password.empty()) {
        std::cerr
            << "usage: ruvi_ui_harness --ui DIR --password TEXT [--port N] [--session FILE]\n";
        return 2;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    auto catalogue = std::make_shared<kestravon::ruvi::EndpointCatalogue>(
        std::vector<std::shared_ptr<kestravon::ruvi::AudioEndpointProvider>>{
            kestravon::ruvi::VirtualEndpointSet::makeDefault()});
    auto app = std::make_unique<Application>(catalogue);

    if (!sessionPath.empty()) {
        const json params = json::parse(readFile(sessionPath));
        const json reply = run(*app, {{"id", 1}, {"method", "applySession"}, {"params", params}});
        if (!reply.value("ok", false)) {
            std::cerr << "session refused: " << reply.dump() << "\n";
            return 1;
        }
        if (startAudio) {
            const json device =
                params.value("uiState", json::object()).value("device", json::object());
            json start = {{"requestedRate", device.value("requestedRate", 48000)},
                          {"requestedBlock", device.value("requestedBlock", 128)},
                          {"masterOutputId", device.value("masterOutputId", "")},
                          {"inputs", device.value("inputs", json::array())},
                          {"outputs", device.value("outputs", json::array())}};
            const json started =
                run(*app, {{"id", 2}, {"method", "startAudio"}, {"params", start}});
            if (!started.value("ok", false)) {
                std::cerr << "audio refused: " << started.dump() << "\n";
                return 1;
            }
        }
    }

    auto& server = kestravon::ruvi::remoteServer();
    std::string error;
    if (!server.enable(uiDir, password, port, submit, error, loopback)) {
        std::cerr << "LAN server: " << error << "\n";
        return 1;
    }
    std::cout << "ready " << server.status().value("port", 0) << std::endl;

    auto nextPoll = std::chrono::steady_clock::now();
    while (stopRequested == 0) {
        std::deque<std::shared_ptr<Pending>> batch;
        {
            std::unique_lock lock(queueMutex);
            queueReady.wait_until(lock, nextPoll, [] { return !queue.empty(); });
            batch.swap(queue);
        }
        for (auto& pending : batch) {
            pending->reply.set_value(run(*app, pending->request));
        }
        if (std::chrono::steady_clock::now() >= nextPoll) {
            app->pollAsyncJob(); // LAN-started jobs: the outcome shows as the job event
            nextPoll += std::chrono::milliseconds(100);
        }
    }

    {
        std::lock_guard lock(queueMutex);
        closing = true;
        for (auto& pending : queue) {
            pending->reply.set_value({{"id", pending->request.value("id", 0)},
                                      {"ok", false},
                                      {"error", "Native control closing"}});
        }
        queue.clear();
    }
    server.disable();
    app.reset();
    std::cout << "stopped" << std::endl;
    return 0;
}
