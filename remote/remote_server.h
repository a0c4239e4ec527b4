#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>

namespace kestravon::ruvi {

// The LAN remote-control server: the web UI files, login with a password and bearer tokens,
// allow-listed control calls over HTTP and WebSocket, and state snapshots 20 times a second.
//
// Thread contract: enable, disable and the destructor are called by the controlling thread (the
// UI thread, or process exit) and serialise on a lifecycle mutex; they may block while the
// server's threads are joined. status() may be called from any thread. The server's own threads
// call the control handler one call at a time, never concurrently; the handler must not call
// enable or disable. Nothing here runs on the audio thread.
class RemoteServer {
public:
    using ControlHandler = std::function<nlohmann::json(const nlohmann::json&)>;

    RemoteServer();
    ~RemoteServer();
    RemoteServer(const RemoteServer&) = delete;
    RemoteServer& operator=(const RemoteServer&) = delete;

    // Loads index.html, styles.css, app.js and nativebridge.js from webRoot, hashes the password
    // and starts listening on port (0: any free port) of every IPv4 address, or of 127.0.0.1
    // only. False with error set when anything fails; the server is then fully stopped.
    [[nodiscard]] bool enable(const std::string& webRoot, const std::string& password,
                              unsigned port, ControlHandler controlHandler, std::string& error,
                              bool loopbackOnly = false);
    nlohmann::json status() const;
    // Connections accepted and waiting for a worker, and workers holding a connection; for
    // diagnostics and for tests that must know the queue's state. Any thread.
    struct ConnectionLoad {
        std::size_t waiting = 0;
        int busyWorkers = 0;
    };
    ConnectionLoad connectionLoad() const;
    // Stops and joins every thread and forgets every token; harmless when stopped.
    void disable();

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

// The process's one server, alive until exit.
RemoteServer& remoteServer();

} // namespace kestravon::ruvi
