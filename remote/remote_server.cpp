#include "remote/remote_server.h"

#include "remote/interface_list.h"
#include "remote/remote_server_impl.h"
#include "remote/socket_connection.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace kestravon::ruvi {

namespace {

constexpr std::uintmax_t maxAssetSize = 2097152;

RemoteAsset readAsset(const std::filesystem::path& path, std::string contentType) {
    // The size query's own error (a missing file, for one) becomes enable's error text.
    const std::uintmax_t size = std::filesystem::file_size(path);
    if (size > maxAssetSize) {
        throw std::runtime_error("Remote UI asset too large");
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("Remote UI asset missing");
    }
    std::string body;
    body.reserve(static_cast<std::size_t>(size));
    char chunk[65536];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        body.append(chunk, static_cast<std::size_t>(file.gcount()));
        if (body.size() > maxAssetSize) {
            throw std::runtime_error("Remote UI asset too large");
        }
    }
    return RemoteAsset{std::move(contentType), std::move(body)};
}

} // namespace

RemoteServer::RemoteServer() : impl(std::make_unique<Impl>()) {}

RemoteServer::~RemoteServer() {
    std::lock_guard lock(impl->lifecycleMutex);
    impl->stop();
}

bool RemoteServer::enable(const std::string& webRoot, const std::string& password, unsigned port,
                          ControlHandler controlHandler, std::string& error, bool loopbackOnly) {
    return impl->enable(webRoot, password, port, std::move(controlHandler), error, loopbackOnly);
}

RemoteServer::ConnectionLoad RemoteServer::connectionLoad() const {
    std::lock_guard lock(impl->queueMutex);
    ConnectionLoad load;
    load.waiting = impl->pendingSockets.size();
    for (const int socket : impl->workerSockets) {
        load.busyWorkers += socket >= 0 ? 1 : 0;
    }
    return load;
}

nlohmann::json RemoteServer::status() const {
    return impl->status();
}

void RemoteServer::disable() {
    std::lock_guard lock(impl->lifecycleMutex);
    impl->stop();
}

RemoteServer& remoteServer() {
    static RemoteServer server;
    return server;
}

bool RemoteServer::Impl::enable(const std::string& webRoot, const std::string& password,
                                unsigned requestedPort, ControlHandler handler, std::string& error,
                                bool loopback) {
    std::lock_guard lock(lifecycleMutex);
    error.clear();
    if (running.load()) {
        error = "Remote service already enabled";
        return false;
    }
    if (password.size() < 8 || password.size() > 256 || requestedPort > 65535 || !handler) {
        error = "Use an 8-character password and a valid port";
        return false;
    }
    stop();
    try {
        controlHandler = std::move(handler);
        loadAssets(webRoot);
        fillRandom(passwordSalt.data(), passwordSalt.size());
        passwordHash = hashPassword(password, passwordSalt);
        openListener(requestedPort, loopback);
        running.store(true);
        for (int i = 0; i < workerCount; ++i) {
            workers.emplace_back([this, i] { connectionWorker(i); });
        }
        broadcasterThread = std::thread([this] { stateBroadcaster(); });
        acceptThread = std::thread([this, listener = listenSocket] { acceptLoop(listener); });
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        stop();
        return false;
    }
}

void RemoteServer::Impl::loadAssets(const std::string& webRoot) {
    static const std::pair<const char*, const char*> files[] = {
        {"index.html", "text/html; charset=utf-8"},
        {"styles.css", "text/css; charset=utf-8"},
        {"app.js", "text/javascript; charset=utf-8"},
        {"nativebridge.js", "text/javascript; charset=utf-8"}};
    for (const auto& [name, type] : files) {
        assets["/" + std::string(name)] = readAsset(std::filesystem::path(webRoot) / name, type);
    }
    assets["/"] = assets["/index.html"];
}

void RemoteServer::Impl::openListener(unsigned requestedPort, bool loopback) {
    listenSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenSocket < 0) {
        throw std::runtime_error("Cannot create control socket");
    }
    const int one = 1;
    if (::setsockopt(listenSocket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        throw std::runtime_error("Cannot reserve control socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(requestedPort));
    address.sin_addr.s_addr = htonl(loopback ? INADDR_LOOPBACK : INADDR_ANY);
    if (::bind(listenSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenSocket, 16) != 0) {
        throw std::runtime_error("Port unavailable; no firewall or system setting was changed");
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(listenSocket, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        throw std::runtime_error("Cannot inspect control socket");
    }
    std::lock_guard lock(stateMutex);
    port = ntohs(bound.sin_port);
    loopbackOnly = loopback;
    interfaces = listInterfaces(port, loopbackOnly);
}

nlohmann::json RemoteServer::Impl::status() const {
    std::lock_guard lock(stateMutex);
    nlohmann::json urls = nlohmann::json::array();
    for (const auto& entry : interfaces) {
        urls.push_back(entry.value("url", std::string()));
    }
    return {{"clients", tokens.liveCount(SteadyClock::now())},
            {"enabled", running.load()},
            {"interfaces", interfaces},
            {"loopbackOnly", loopbackOnly},
            {"port", port},
            {"snapshotHz", 20},
            {"transport", "HTTP/WebSocket control only"},
            {"urls", urls},
            {"webSocket", true},
            {"webSocketClients", std::max(0, authenticatedClients.load())},
            {"websocket", true},
            {"websocketPath", "/api/ruvi"}};
}

void RemoteServer::Impl::stop() {
    running.store(false);
    {
        std::lock_guard lock(queueMutex);
        for (int socket : pendingSockets) {
            shutdownSocket(socket);
            closeSocket(socket);
        }
        pendingSockets.clear();
        for (int socket : workerSockets) {
            shutdownSocket(socket);
        }
    }
    {
        std::lock_guard lock(clientsMutex);
        for (const auto& client : clients) {
            shutdownSocket(client->socket);
        }
    }
    broadcastWake.notify_all();
    // The listener is closed only after the accept thread is joined, so that thread never polls
    // a descriptor number the system may already have handed to someone else.
    shutdownSocket(listenSocket);
    connectionReady.notify_all();
    if (acceptThread.joinable()) {
        acceptThread.join();
    }
    if (listenSocket >= 0) {
        closeSocket(listenSocket);
        listenSocket = -1;
    }
    for (auto& worker : workers) {
        worker.join();
    }
    workers.clear();
    tokens.clear();
    loginAttempts.clear();
    if (broadcasterThread.joinable()) {
        broadcasterThread.join();
    }
    std::vector<std::shared_ptr<WebSocket>> copy;
    {
        std::lock_guard lock(clientsMutex);
        copy = clients;
    }
    for (const auto& client : copy) {
        if (client->thread.joinable()) {
            client->thread.join();
        }
    }
    {
        std::lock_guard lock(clientsMutex);
        clients.clear();
    }
    {
        std::lock_guard lock(snapshotMutex);
        latestSnapshot.reset();
        snapshotSequence = 0;
    }
    authenticatedClients.store(0);
    wipeBytes(passwordHash.data(), passwordHash.size());
    wipeBytes(passwordSalt.data(), passwordSalt.size());
    {
        std::lock_guard lock(stateMutex);
        port = 0;
        interfaces = nlohmann::json::array();
    }
    controlHandler = nullptr;
    assets.clear();
}

} // namespace kestravon::ruvi
