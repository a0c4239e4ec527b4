#include "remote/bounded_json.h"
#include "remote/http_request.h"
#include "remote/http_response.h"
#include "remote/remote_method_set.h"
#include "remote/remote_server_impl.h"
#include "remote/request_guard.h"
#include "remote/socket_connection.h"

#include <stdexcept>

namespace kestravon::ruvi {

namespace {

constexpr std::string_view json = "application/json";

std::string errorBody(std::string_view text) {
    return nlohmann::json{{"error", text}}.dump();
}

nlohmann::json stateRequest(nlohmann::json after) {
    return {{"id", 0}, {"method", "getControlState"}, {"params", {{"after", std::move(after)}}}};
}

// Wipes the request body and header values (a bearer token among them) at every exit of the
// router, an escaping exception included.
struct RequestWipe {
    HttpRequest& request;
    ~RequestWipe() {
        wipeString(request.body);
        for (auto& header : request.headers) {
            wipeString(header.second);
        }
    }
};

bool usableStateReply(const nlohmann::json& reply) {
    if (!reply.is_object()) {
        return false;
    }
    const auto ok = reply.find("ok");
    if (ok == reply.end() || !ok->is_boolean() || !ok->get<bool>() || reply.contains("error")) {
        return false;
    }
    const auto result = reply.find("result");
    if (result == reply.end() || !result->is_object()) {
        return false;
    }
    const auto revision = result->find("revision");
    return revision != result->end() &&
           (revision->is_number_unsigned() ||
            (revision->is_number_integer() && revision->get<std::int64_t>() >= 0));
}

std::uint64_t parseAfter(const std::string& target) {
    const std::size_t question = target.find('?');
    if (question == std::string::npos) {
        return 0;
    }
    const std::string_view query = std::string_view(target).substr(question + 1);
    constexpr std::string_view prefix = "after=";
    if (query.substr(0, prefix.size()) != prefix) {
        throw std::runtime_error("Invalid revision");
    }
    const std::string_view digits = query.substr(prefix.size());
    if (digits.empty() || digits.size() > 20) {
        throw std::runtime_error("Invalid revision");
    }
    std::uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            throw std::runtime_error("Invalid revision");
        }
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            throw std::runtime_error("Invalid revision");
        }
        value = value * 10 + digit;
    }
    return value;
}

} // namespace

void RemoteServer::Impl::respond(int socket, int status, std::string_view contentType,
                                 std::string_view body) {
    SocketConnection connection(socket);
    writeHttpResponse(connection, status, contentType, body, &running);
}

bool RemoteServer::Impl::handleHttpRequest(int socket, int workerIndex) {
    HttpRequest request;
    RequestWipe wipe{request};
    SocketConnection connection(socket);
    if (!readHttpRequest(connection, request, &running)) {
        respond(socket, 400, json, errorBody("Invalid HTTP request"));
        return false;
    }
    if (!running.load()) {
        return false;
    }
    const std::string local = localAddress(socket);
    const std::string peer = peerAddress(socket);
    if (local.empty() || peer.empty()) {
        return false;
    }
    if (!hostMatches(findHeader(request, "host"), local, port, loopbackOnly)) {
        respond(socket, 403, json, errorBody("Use the computer IP and port"));
        return false;
    }
    if (!originAllowed(request)) {
        respond(socket, 403, json, errorBody("Cross-origin control denied"));
        return false;
    }
    const std::string path = request.target.substr(0, request.target.find('?'));
    if (path == "/api/ruvi") {
        return upgradeWebSocket(socket, request, workerIndex);
    }
    if (request.method == "GET") {
        const auto asset = assets.find(path);
        if (asset != assets.end()) {
            respond(socket, 200, asset->second.contentType, asset->second.body);
            return false;
        }
    }
    if (request.method == "POST" && !isJsonContentType(request)) {
        respond(socket, 415, json, errorBody("JSON content type required"));
        return false;
    }
    if (request.method == "POST" && path == "/api/login") {
        login(socket, request, peer);
        return false;
    }
    if (path == "/api/rpc" || path == "/api/events") {
        std::string token = bearerToken(request);
        StringWipeGuard tokenGuard(token);
        if (token.empty() || !tokens.find(token, SteadyClock::now())) {
            respond(socket, 401, json, errorBody("Login required"));
            return false;
        }
        if (request.method == "GET" && path == "/api/events") {
            readEvents(socket, request);
        } else if (request.method == "POST" && path == "/api/rpc") {
            relay(socket, request);
        } else {
            respond(socket, 404, json, errorBody("Not found"));
        }
        return false;
    }
    respond(socket, 404, json, errorBody("Not found"));
    return false;
}

void RemoteServer::Impl::login(int socket, HttpRequest& request, const std::string& peer) {
    const auto now = SteadyClock::now();
    if (!loginAttempts.tryAttempt(peer, now)) {
        respond(socket, 429, json, errorBody("Too many login attempts; wait one minute"));
        return;
    }
    nlohmann::json body = boundedJson(request.body);
    std::string password = body.at("password").get<std::string>();
    PasswordWipeGuard passwordGuard(password);
    auto wipeParsed = [&body] {
        const auto member = body.find("password");
        if (member != body.end() && member->is_string()) {
            wipeString(member->get_ref<std::string&>());
        }
    };
    if (password.size() > 256) {
        wipeParsed();
        throw std::runtime_error("Password too long");
    }
    PasswordHash candidate = hashPassword(password, passwordSalt);
    wipeParsed();
    wipeString(request.body);
    const bool match = equalConstantTime(candidate.data(), passwordHash.data(), candidate.size());
    wipeBytes(candidate.data(), candidate.size());
    if (!match) {
        respond(socket, 401, json, errorBody("Incorrect password"));
        return;
    }

    nlohmann::json reply;
    try {
        reply = callControlService(stateRequest(-1));
    } catch (const std::exception&) {
        reply = nullptr;
    }
    if (!usableStateReply(reply)) {
        respond(socket, 503, json,
                errorBody("Control service is busy or unavailable. Please try again."));
        return;
    }
    nlohmann::json result = std::move(reply["result"]);
    const auto uiState = result.find("uiState");
    if (uiState == result.end() || !uiState->is_object() || uiState->empty()) {
        respond(socket, 409, json,
                errorBody("Apply the session on the stage computer before connecting remotely."));
        return;
    }

    std::string token = makeToken();
    StringWipeGuard tokenGuard(token);
    std::string clientId = makeToken().substr(0, 16);
    if (tokens.issue(token, clientId, now) == TokenTable::Issue::full) {
        respond(socket, 503, json, errorBody("Remote client limit reached"));
        return;
    }
    result["token"] = token;
    result["clientId"] = clientId;
    result["webSocket"] = true;
    result["transport"] = {{"path", "/api/ruvi"}, {"snapshotHz", 20}, {"websocket", true}};
    std::string text = result.dump();
    StringWipeGuard textGuard(text);
    wipeString(result["token"].get_ref<std::string&>());
    respond(socket, 200, json, text);
}

void RemoteServer::Impl::readEvents(int socket, const HttpRequest& request) {
    const std::uint64_t after = parseAfter(request.target);
    const nlohmann::json reply = callControlService(stateRequest(after));
    respond(socket, 200, json, reply.at("result").dump());
}

void RemoteServer::Impl::relay(int socket, const HttpRequest& request) {
    const nlohmann::json call = boundedJson(request.body);
    const std::string method = call.at("method").get<std::string>();
    if (remoteMethodSet().count(method) == 0) {
        respond(socket, 403, json, errorBody("This operation requires the local computer"));
        return;
    }
    respond(socket, 200, json, callControlService(call).dump());
}

} // namespace kestravon::ruvi
