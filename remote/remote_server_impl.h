#pragma once

// Private to remote/: the state shared by the server's lifecycle, router, threads and WebSocket
// sessions.

#include "remote/login_limiter.h"
#include "remote/remote_crypto.h"
#include "remote/remote_server.h"
#include "remote/token_table.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace kestravon::ruvi {

struct HttpRequest;

struct RemoteAsset {
    std::string contentType;
    std::string body;
};

inline constexpr int workerCount = 4;
inline constexpr std::size_t maxPendingSockets = 32;
inline constexpr std::size_t maxWebSocketClients = 32;
// Sessions still waiting for their auth message may hold only this many client slots.
inline constexpr std::size_t maxUnauthenticatedClients = 8;
inline constexpr auto broadcastTick = std::chrono::milliseconds(50);

// Thread contract: lifecycle fields (handler, assets, password hash, port, listener) are written
// only by enable and stop while no server thread runs, and read freely by those threads.
// Everything else is guarded by the mutex named beside it or is atomic.
struct RemoteServer::Impl {
    struct WebSocket {
        int socket = -1;    // clientsMutex
        std::thread thread; // clientsMutex
        std::atomic<bool> finished{false};
        std::atomic<bool> authenticated{false};
    };

    ControlHandler controlHandler;
    std::map<std::string, RemoteAsset> assets;
    PasswordSalt passwordSalt{};
    PasswordHash passwordHash{};
    std::atomic<bool> running{false};
    int listenSocket = -1;
    bool loopbackOnly = false;
    unsigned port = 0;
    nlohmann::json interfaces = nlohmann::json::array();
    std::thread acceptThread;
    std::vector<std::thread> workers;
    std::mutex lifecycleMutex;
    mutable std::mutex stateMutex; // port, loopbackOnly, interfaces for status()
    std::mutex queueMutex;
    std::mutex controlMutex;
    std::condition_variable connectionReady;
    std::deque<int> pendingSockets;                             // queueMutex
    std::array<int, workerCount> workerSockets{-1, -1, -1, -1}; // queueMutex
    TokenTable tokens;
    LoginLimiter loginAttempts;
    std::mutex clientsMutex;
    std::mutex snapshotMutex;
    std::mutex broadcastMutex;
    std::condition_variable broadcastWake;
    std::vector<std::shared_ptr<WebSocket>> clients; // clientsMutex
    std::thread broadcasterThread;
    std::shared_ptr<const std::string> latestSnapshot; // snapshotMutex
    std::uint64_t snapshotSequence = 0;                // snapshotMutex
    std::atomic<int> authenticatedClients{0};
    std::atomic<int> inFlightCalls{0};

    bool enable(const std::string& webRoot, const std::string& password, unsigned port,
                ControlHandler handler, std::string& error, bool loopbackOnly);
    nlohmann::json status() const;
    void stop();
    void loadAssets(const std::string& webRoot);
    void openListener(unsigned requestedPort, bool loopback);

    // Connection threads and the control bridge.
    void acceptLoop(int listener);
    void connectionWorker(int index);
    void stateBroadcaster();
    void publishSnapshot();
    nlohmann::json callControlService(const nlohmann::json& request);
    void removeClient(const std::shared_ptr<WebSocket>& client);

    // Router.
    bool handleHttpRequest(int socket, int workerIndex);
    void respond(int socket, int status, std::string_view contentType, std::string_view body);
    void login(int socket, HttpRequest& request, const std::string& peer);
    void readEvents(int socket, const HttpRequest& request);
    void relay(int socket, const HttpRequest& request);

    // WebSocket.
    bool upgradeWebSocket(int socket, const HttpRequest& request, int workerIndex);
    void runWebSocketSession(std::shared_ptr<WebSocket> client, int socket);
};

} // namespace kestravon::ruvi
