#pragma once

#include "remote/memory_connection.h"
#include "remote/remote_server.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace kestravon::ruvi::test {

inline constexpr const char* testPassword = "stage-password-1";

// A web folder with the four UI files, removed again at the end.
class TempWebRoot {
public:
    TempWebRoot();
    ~TempWebRoot();
    const std::filesystem::path& path() const { return path_; }
    void write(const std::string& name, const std::string& content) const;

private:
    std::filesystem::path path_;
};

// A small in-test control service: answers getControlState with a snapshot, "status", and the
// other methods with an echo; "setParameter" with params.sleepMs holds the call that long. It
// records every call, counts those shaped like the broadcaster's ({"after": 0}), and the highest
// number of calls it saw running at once.
class TestControl {
public:
    RemoteServer::ControlHandler handler();
    nlohmann::json calls() const;
    int maxConcurrent() const { return maxActive_.load(); }
    int broadcastCalls() const { return broadcastCalls_.load(); }
    std::atomic<bool> busy{false};      // getControlState fails as while the UI is busy
    std::atomic<bool> noSession{false}; // no session applied: empty uiState
    // 0: normal; 1: the broadcaster's state call gets no "result"; 2: a state over 2 MiB.
    std::atomic<int> brokenState{0};
    std::atomic<bool> browserSeen{false}; // a "status" call carried params.fromBrowser
    // "setParameter" with params.hold waits until openGate(); holdsEntered counts such calls.
    void openGate();
    std::atomic<int> holdsEntered{0};

private:
    nlohmann::json handle(const nlohmann::json& request);
    mutable std::mutex mutex_;
    nlohmann::json calls_ = nlohmann::json::array();
    std::atomic<int> active_{0};
    std::atomic<int> maxActive_{0};
    std::atomic<int> broadcastCalls_{0};
    std::mutex gateMutex_;
    std::condition_variable gateOpened_;
    bool gateOpen_ = false;
};

// A running loopback-only server on an ephemeral port with its own web root and control.
struct ServerFixture {
    TempWebRoot webRoot;
    TestControl control;
    RemoteServer server;
    unsigned port = 0;
    void start();
};

struct HttpResult {
    int status = 0;
    std::string head; // status line and headers
    std::string body;
};

// The crash inputs kept for a fuzz target (fuzz/regressions/<target>/), each as a connection
// that splits it into reads as the fuzz target does. Empty when none are kept.
std::vector<MemoryConnection> keptFuzzInputs(const std::string& target);

// A blocking TCP connection to 127.0.0.1:port, or -1.
int connectLoopback(unsigned port);
// Sends raw bytes to 127.0.0.1:port and reads until the server closes (at most 10 s).
std::string rawExchange(unsigned port, const std::string& bytes);
HttpResult parseResponse(const std::string& raw);
// A well-formed request with Host 127.0.0.1:port; a body goes as application/json.
HttpResult httpRequest(unsigned port, const std::string& method, const std::string& path,
                       const std::string& body = {}, const std::string& extraHeaders = {});
// Logs in over a plain socket and returns the token, or empty on failure.
std::string rawLogin(unsigned port, const std::string& password = testPassword);

// Runs curl against http://127.0.0.1:<port><path> with extra arguments.
HttpResult curl(unsigned port, const std::string& path, const std::vector<std::string>& args = {});
// Logs in with curl and returns the token, or empty on failure.
std::string loginToken(unsigned port, const std::string& password = testPassword);

// A hand-written WebSocket client for frames no well-behaved library sends.
class RawWebSocket {
public:
    explicit RawWebSocket(unsigned port);
    ~RawWebSocket();
    bool upgraded() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void sendFrame(int opcode, const std::string& payload, bool fin = true, bool mask = true);
    void sendRaw(const std::string& bytes);
    // The default time-outs are ceilings for an answer that never comes; a busy machine only
    // makes one later.
    // Next frame as (opcode, payload); opcode -1 when the connection closed or timed out.
    std::pair<int, std::string>
    readFrame(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Reads frames until a close frame arrives and returns its code (-1 if none).
    int closeCode(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Text frames until one whose "type" equals type (empty JSON on timeout).
    nlohmann::json readMessage(const std::string& type,
                               std::chrono::milliseconds timeout = std::chrono::seconds(30));
    void authenticate(const std::string& token);

private:
    int fd_ = -1;
    std::string pending_;
};

int closeCodeOf(const std::string& payload);

} // namespace kestravon::ruvi::test
