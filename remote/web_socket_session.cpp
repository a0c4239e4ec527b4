#include "remote/bounded_json.h"
#include "remote/http_request.h"
#include "remote/http_response.h"
#include "remote/remote_method_set.h"
#include "remote/remote_server_impl.h"
#include "remote/socket_connection.h"
#include "remote/web_socket_frame.h"

#include <stdexcept>

namespace kestravon::ruvi {

namespace {

constexpr auto authTimeout = std::chrono::seconds(5);
constexpr auto silenceTimeout = std::chrono::seconds(45);
constexpr auto pingInterval = std::chrono::seconds(15);
constexpr auto sendTimeout = std::chrono::milliseconds(1500);
constexpr int rateLimit = 120;

bool sendFrame(Connection& connection, int opcode, std::string_view payload,
               const std::atomic<bool>& running) {
    if (payload.size() > maxWebSocketPayload) {
        return false;
    }
    std::string frame = encodeFrameHeader(opcode, payload.size());
    frame.append(payload);
    StringWipeGuard guard(frame);
    return sendAll(connection, frame, SteadyClock::now() + sendTimeout, &running);
}

bool sendClose(Connection& connection, int code, const std::atomic<bool>& running) {
    const char payload[2] = {static_cast<char>((code >> 8) & 0xFF), static_cast<char>(code & 0xFF)};
    return sendFrame(connection, ws::close, std::string_view(payload, 2), running);
}

bool isUpgradeRequest(const HttpRequest& request) {
    return request.method == "GET" && request.target == "/api/ruvi" && request.body.empty() &&
           !findHeader(request, "origin").empty() &&
           toLowerAscii(findHeader(request, "upgrade")) == "websocket" &&
           headerHasToken(findHeader(request, "connection"), "upgrade") &&
           findHeader(request, "sec-websocket-version") == "13" &&
           isValidWebSocketKey(findHeader(request, "sec-websocket-key"));
}

// Thrown for failures that end the session with 1011.
struct InternalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace

bool RemoteServer::Impl::upgradeWebSocket(int socket, const HttpRequest& request, int workerIndex) {
    if (!isUpgradeRequest(request)) {
        respond(socket, 400, "application/json", R"({"error":"Invalid WebSocket handshake"})");
        return false;
    }
    auto client = std::make_shared<WebSocket>();
    bool admitted = false;
    {
        std::lock_guard lock(clientsMutex);
        std::erase_if(clients, [](const std::shared_ptr<WebSocket>& entry) {
            if (!entry->finished.load()) {
                return false;
            }
            if (entry->thread.joinable()) {
                entry->thread.join();
            }
            return true;
        });
        std::size_t waiting = 0;
        for (const auto& entry : clients) {
            waiting += entry->authenticated.load() ? 0 : 1;
        }
        // Connections that never authenticate must not crowd out real clients.
        if (clients.size() < maxWebSocketClients && waiting < maxUnauthenticatedClients) {
            clients.push_back(client);
            admitted = true;
        }
    }
    if (!admitted) {
        respond(socket, 503, "application/json", R"({"error":"WebSocket client limit reached"})");
        return false;
    }
    try {
        const std::string reply = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                  "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
                                  webSocketAccept(findHeader(request, "sec-websocket-key")) +
                                  "\r\nCache-Control: no-store\r\n\r\n";
        SocketConnection connection(socket);
        if (!sendAll(connection, reply, SteadyClock::now() + sendTimeout, &running)) {
            removeClient(client);
            return false;
        }
        std::scoped_lock lock(queueMutex, clientsMutex);
        if (!running.load()) {
            std::erase(clients, client);
            return false;
        }
        client->socket = socket;
        client->thread =
            std::thread([this, client, socket] { runWebSocketSession(client, socket); });
        workerSockets[static_cast<std::size_t>(workerIndex)] = -1;
        return true;
    } catch (const std::exception&) {
        removeClient(client);
        return false;
    }
}

void RemoteServer::Impl::runWebSocketSession(std::shared_ptr<WebSocket> client, int socket) {
    SocketConnection connection(socket);
    WebSocketFrameReader reader;
    const auto start = SteadyClock::now();
    bool authenticated = false;
    std::string heldToken;
    StringWipeGuard heldTokenGuard(heldToken);
    SteadyClock::time_point tokenExpiry{};
    std::string clientId;
    auto lastReceive = start;
    auto lastPing = start;
    std::uint64_t lastSentSequence = 0;
    auto rateWindowStart = start;
    int rateCount = 0;
    std::array<char, 8192> chunk;

    auto closeWith = [&](int code) { (void)sendClose(connection, code, running); };

    // One complete text message; false ends the session.
    auto handleMessage = [&](std::string& text, SteadyClock::time_point now) -> bool {
        StringWipeGuard textGuard(text);
        if (!isValidUtf8(text)) {
            closeWith(ws::invalidData);
            return false;
        }
        if (now - rateWindowStart > std::chrono::nanoseconds(999999999)) {
            rateWindowStart = now;
            rateCount = 1;
        } else if (++rateCount > rateLimit) {
            closeWith(ws::policyViolation);
            return false;
        }
        nlohmann::json message;
        try {
            message = boundedJson(text);
        } catch (const std::exception&) {
            closeWith(ws::invalidData);
            return false;
        }
        wipeString(text);
        if (!message.is_object()) {
            closeWith(ws::invalidData);
            return false;
        }
        if (!authenticated) {
            const auto type = message.find("type");
            const auto token = message.find("token");
            if (type == message.end() || *type != "auth" || token == message.end() ||
                !token->is_string()) {
                closeWith(ws::policyViolation);
                return false;
            }
            std::string& tokenText = token->get_ref<std::string&>();
            std::optional<RemoteToken> record;
            if (tokenText.size() == 64) {
                record = tokens.acquire(tokenText, SteadyClock::now());
            }
            if (!record) {
                wipeString(tokenText);
                closeWith(ws::policyViolation);
                return false;
            }
            heldToken = tokenText;
            wipeString(tokenText);
            authenticated = true;
            tokenExpiry = record->expiry;
            clientId = record->clientId;
            client->authenticated.store(true);
            authenticatedClients.fetch_add(1);
            broadcastWake.notify_all();
            return sendFrame(
                connection, ws::text,
                nlohmann::json{{"type", "authenticated"}, {"clientId", clientId}}.dump(), running);
        }
        const nlohmann::json id = message.contains("id") ? message["id"] : nlohmann::json();
        if (message.value("type", nlohmann::json()) != "rpc") {
            throw InternalError("Expected RPC message");
        }
        nlohmann::json reply;
        try {
            const std::string method = message.at("method").get<std::string>();
            if (remoteMethodSet().count(method) != 0) {
                message.erase("type");
                reply = callControlService(message);
                if (!reply.is_object()) {
                    throw std::runtime_error("Invalid control reply");
                }
                reply["id"] = id;
                if (!reply.contains("ok")) {
                    reply["ok"] = reply.contains("result") && !reply.contains("error");
                }
            } else {
                reply = {{"id", id},
                         {"ok", false},
                         {"error", "This operation requires the local computer"}};
            }
        } catch (const std::exception&) {
            reply = {{"id", id},
                     {"ok", false},
                     {"error", "Invalid request or unavailable control service"}};
        }
        reply["type"] = "reply";
        const std::string out = reply.dump();
        return out.size() <= maxWebSocketPayload && sendFrame(connection, ws::text, out, running);
    };

    try {
        while (running.load()) {
            const auto now = SteadyClock::now();
            if (!authenticated && now >= start + authTimeout) {
                closeWith(ws::policyViolation);
                break;
            }
            if (authenticated) {
                if (now >= tokenExpiry) {
                    closeWith(ws::policyViolation);
                    break;
                }
                if (now - lastReceive >= silenceTimeout) {
                    closeWith(ws::goingAway);
                    break;
                }
                std::shared_ptr<const std::string> snapshot;
                std::uint64_t sequence = 0;
                {
                    std::lock_guard lock(snapshotMutex);
                    snapshot = latestSnapshot;
                    sequence = snapshotSequence;
                }
                if (snapshot && sequence != lastSentSequence) {
                    if (!sendFrame(connection, ws::text, *snapshot, running)) {
                        break;
                    }
                    lastSentSequence = sequence;
                }
                if (now - lastPing >= pingInterval) {
                    if (!sendFrame(connection, ws::ping, {}, running)) {
                        break;
                    }
                    lastPing = now;
                }
            }
            if (!waitSocket(socket, false, SteadyClock::now() + std::chrono::milliseconds(20),
                            nullptr)) {
                continue;
            }
            const long n = connection.receive(chunk.data(), chunk.size());
            if (n == Connection::wouldBlock) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            lastReceive = SteadyClock::now();
            const bool fits = reader.append(chunk.data(), static_cast<std::size_t>(n));
            wipeBytes(chunk.data(), static_cast<std::size_t>(n));
            if (!fits) {
                closeWith(ws::tooBig);
                break;
            }
            bool ended = false;
            while (!ended) {
                WebSocketEvent event = reader.next();
                StringWipeGuard eventGuard(event.text);
                using Kind = WebSocketEvent::Kind;
                if (event.kind == Kind::none) {
                    break;
                }
                if (event.kind == Kind::fail) {
                    closeWith(event.code);
                    ended = true;
                } else if (event.kind == Kind::close) {
                    if (event.code == 0) {
                        (void)sendFrame(connection, ws::close, event.text, running);
                    } else {
                        closeWith(event.code);
                    }
                    ended = true;
                } else if (event.kind == Kind::ping) {
                    ended = !sendFrame(connection, ws::pong, event.text, running);
                } else {
                    ended = !handleMessage(event.text, SteadyClock::now());
                }
            }
            if (ended) {
                break;
            }
        }
    } catch (const std::exception&) {
        try {
            closeWith(ws::internalError);
        } catch (const std::exception&) {
        }
    }

    reader.wipe();
    if (authenticated) {
        tokens.release(heldToken);
        authenticatedClients.fetch_sub(1);
    }
    std::lock_guard lock(clientsMutex);
    shutdownSocket(client->socket);
    closeSocket(client->socket);
    client->socket = -1;
    client->authenticated.store(false);
    client->finished.store(true);
}

} // namespace kestravon::ruvi
