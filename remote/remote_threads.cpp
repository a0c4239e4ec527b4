#include "remote/remote_server_impl.h"
#include "remote/socket_connection.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

#include <stdexcept>

namespace kestravon::ruvi {

namespace {

constexpr std::string_view routerFailureBody =
    R"({"error":"Invalid request or unavailable control service"})";

// Errors that concern one connection only (it was reset or aborted before we took it, or a
// signal interrupted the call): the listener is fine and accepting goes on at once.
bool isConnectionError(int error) {
    switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case ECONNABORTED:
    case ECONNRESET:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case ETIMEDOUT:
        return true;
    default:
        return false;
    }
}

// Sleeps up to the given time in 20 ms slices, returning early once the server stops.
void backOff(const std::atomic<bool>& running, std::chrono::milliseconds total) {
    const auto end = SteadyClock::now() + total;
    while (running.load() && SteadyClock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

struct InFlightCallGuard {
    std::atomic<int>& count;
    explicit InFlightCallGuard(std::atomic<int>& c) : count(c) { count.fetch_add(1); }
    ~InFlightCallGuard() { count.fetch_sub(1); }
};

} // namespace

void RemoteServer::Impl::acceptLoop(int listener) {
    // Accepting ends only when the server stops: a reset connection, a signal or running out of
    // descriptors must not leave an enabled server that no longer answers.
    while (running.load()) {
        pollfd entry{listener, POLLIN, 0};
        const int ready = ::poll(&entry, 1, 20);
        if (ready <= 0) {
            continue;
        }
        const int socket = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socket < 0) {
            const int error = errno;
            if (!isConnectionError(error)) {
                // EMFILE, ENFILE, ENOBUFS, ENOMEM and anything unexpected: let resources free up.
                backOff(running, std::chrono::milliseconds(100));
            }
            continue;
        }
        // Every connection, HTTP or WebSocket, answers small replies right after larger writes.
        (void)setNoDelay(socket);
        bool queued = false;
        {
            std::lock_guard lock(queueMutex);
            if (pendingSockets.size() < maxPendingSockets && running.load()) {
                pendingSockets.push_back(socket);
                queued = true;
            }
        }
        if (queued) {
            connectionReady.notify_one();
        } else {
            closeSocket(socket);
        }
    }
}

void RemoteServer::Impl::connectionWorker(int index) {
    for (;;) {
        int socket = -1;
        {
            std::unique_lock lock(queueMutex);
            connectionReady.wait(lock,
                                 [this] { return !running.load() || !pendingSockets.empty(); });
            if (!running.load()) {
                return;
            }
            socket = pendingSockets.front();
            pendingSockets.pop_front();
            workerSockets[static_cast<std::size_t>(index)] = socket;
        }
        bool handedOver = false;
        try {
            handedOver = handleHttpRequest(socket, index);
        } catch (const std::exception&) {
            try {
                respond(socket, 400, "application/json", routerFailureBody);
            } catch (const std::exception&) {
                // Out of memory even for the answer: the connection just closes.
            }
        }
        if (handedOver) {
            continue;
        }
        std::lock_guard lock(queueMutex);
        shutdownSocket(socket);
        closeSocket(socket);
        workerSockets[static_cast<std::size_t>(index)] = -1;
    }
}

nlohmann::json RemoteServer::Impl::callControlService(const nlohmann::json& request) {
    InFlightCallGuard guard(inFlightCalls);
    std::lock_guard lock(controlMutex);
    if (!running.load()) {
        throw std::runtime_error("Control service stopping");
    }
    if (!controlHandler) {
        throw std::bad_function_call();
    }
    return controlHandler(request);
}

void RemoteServer::Impl::publishSnapshot() {
    const nlohmann::json reply =
        controlHandler({{"id", 0}, {"method", "getControlState"}, {"params", {{"after", 0}}}});
    const auto result = reply.is_object() ? reply.find("result") : reply.end();
    if (!reply.is_object() || result == reply.end() || !result->is_object()) {
        throw std::runtime_error("Control state unavailable");
    }
    auto text = std::make_shared<const std::string>(
        nlohmann::json{{"type", "state"}, {"state", *result}}.dump());
    if (text->size() > 2097152) {
        throw std::runtime_error("Control state too large");
    }
    std::lock_guard lock(snapshotMutex);
    latestSnapshot = std::move(text);
    ++snapshotSequence;
}

void RemoteServer::Impl::stateBroadcaster() {
    while (running.load()) {
        const auto deadline = SteadyClock::now() + broadcastTick;
        if (authenticatedClients.load() > 0 && inFlightCalls.load() == 0) {
            std::unique_lock control(controlMutex, std::try_to_lock);
            // Remote calls come first: a busy bridge skips this tick rather than waiting.
            if (control.owns_lock() && running.load() && inFlightCalls.load() == 0 &&
                controlHandler) {
                try {
                    publishSnapshot();
                } catch (const std::exception&) {
                    // The previous snapshot stays; the next tick tries again.
                }
            }
        }
        std::unique_lock lock(broadcastMutex);
        broadcastWake.wait_until(lock, deadline, [this] { return !running.load(); });
    }
}

void RemoteServer::Impl::removeClient(const std::shared_ptr<WebSocket>& client) {
    std::lock_guard lock(clientsMutex);
    std::erase(clients, client);
}

} // namespace kestravon::ruvi
