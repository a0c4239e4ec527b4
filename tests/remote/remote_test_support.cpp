#include "remote_test_support.h"

#include "remote/web_socket_frame.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace kestravon::ruvi::test {

namespace fs = std::filesystem;

TempWebRoot::TempWebRoot() {
    std::random_device rd;
    path_ = fs::temp_directory_path() / ("ruvi-webroot-" + std::to_string(rd()));
    fs::create_directories(path_);
    write("index.html", "<!doctype html><html><head><link rel=\"stylesheet\" href=\"styles.css\">"
                        "<script src=\"nativebridge.js\"></script><script src=\"app.js\">"
                        "</script></head><body><p id=\"state\">idle</p></body></html>");
    write("styles.css", "body { background: #0c1117; }");
    write("app.js", "// test page\n");
    write("nativebridge.js", "// bridge\n");
}

TempWebRoot::~TempWebRoot() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void TempWebRoot::write(const std::string& name, const std::string& content) const {
    std::ofstream(path_ / name, std::ios::binary) << content;
}

RemoteServer::ControlHandler TestControl::handler() {
    return [this](const nlohmann::json& request) { return handle(request); };
}

nlohmann::json TestControl::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

nlohmann::json TestControl::handle(const nlohmann::json& request) {
    const int now = ++active_;
    int seen = maxActive_.load();
    while (now > seen && !maxActive_.compare_exchange_weak(seen, now)) {
    }
    struct Leave {
        std::atomic<int>& a;
        ~Leave() { --a; }
    } leave{active_};

    const std::string method = request.value("method", std::string());
    const nlohmann::json params = request.value("params", nlohmann::json::object());
    const bool broadcast = method == "getControlState" && params.value("after", -2) == 0 &&
                           request.value("id", -1) == 0;
    if (broadcast) {
        ++broadcastCalls_;
    }
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(request);
    }
    const nlohmann::json id = request.value("id", nlohmann::json());
    if (broadcast && brokenState.load() == 1) {
        return {{"id", id}, {"ok", true}};
    }
    if (broadcast && brokenState.load() == 2) {
        return {{"id", id}, {"ok", true}, {"result", {{"blob", std::string(2097152, 'x')}}}};
    }
    if (method == "getControlState") {
        if (busy.load()) {
            return {{"id", id}, {"ok", false}, {"error", "Native control busy; retry"}};
        }
        nlohmann::json result = {{"revision", 3}, {"audio", {{"running", false}}}};
        if (params.value("after", 0) == -1) {
            result["uiState"] = noSession.load() ? nlohmann::json::object()
                                                 : nlohmann::json{{"strips", {{"in1", "Vox"}}}};
        }
        return {{"id", id}, {"ok", true}, {"result", result}};
    }
    if (method == "status") {
        if (params.value("fromBrowser", false)) {
            browserSeen.store(true);
        }
        return {{"id", id}, {"ok", true}, {"result", {{"running", true}}}};
    }
    if (method == "setParameter" && params.value("hold", false)) {
        ++holdsEntered;
        std::unique_lock lock(gateMutex_);
        gateOpened_.wait(lock, [this] { return gateOpen_; });
    }
    if (method == "setParameter" && params.contains("sleepMs")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(params["sleepMs"].get<int>()));
    }
    return {{"id", id}, {"ok", true}, {"result", {{"method", method}}}};
}

void TestControl::openGate() {
    {
        std::lock_guard lock(gateMutex_);
        gateOpen_ = true;
    }
    gateOpened_.notify_all();
}

void ServerFixture::start() {
    std::string error;
    ASSERT_TRUE(
        server.enable(webRoot.path().string(), testPassword, 0, control.handler(), error, true))
        << error;
    port = server.status()["port"].get<unsigned>();
}

std::vector<MemoryConnection> keptFuzzInputs(const std::string& target) {
    std::vector<MemoryConnection> inputs;
    const std::filesystem::path dir =
        std::filesystem::path(RUVI_SOURCE_DIR) / "fuzz" / "regressions" / target;
    if (!std::filesystem::exists(dir)) {
        return inputs;
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream file(entry.path(), std::ios::binary);
        std::stringstream bytes;
        bytes << file.rdbuf();
        inputs.emplace_back().pushSplitInput(bytes.str());
    }
    return inputs;
}

int connectLoopback(unsigned port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

namespace {

void sendEverything(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

// Appends what arrives within the timeout; false when the peer closed or nothing came.
bool receiveSome(int fd, std::string& into, std::chrono::milliseconds timeout) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) {
        return false;
    }
    char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
        return false;
    }
    into.append(buffer, static_cast<std::size_t>(n));
    return true;
}

std::string quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

} // namespace

std::string rawExchange(unsigned port, const std::string& bytes) {
    const int fd = connectLoopback(port);
    if (fd < 0) {
        return {};
    }
    sendEverything(fd, bytes);
    std::string response;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end &&
           receiveSome(fd, response, std::chrono::milliseconds(10000))) {
    }
    ::close(fd);
    return response;
}

HttpResult parseResponse(const std::string& raw) {
    HttpResult result;
    const std::size_t split = raw.find("\r\n\r\n");
    if (raw.size() < 12 || split == std::string::npos) {
        return result;
    }
    result.status = std::stoi(raw.substr(9, 3));
    result.head = raw.substr(0, split + 2);
    result.body = raw.substr(split + 4);
    return result;
}

HttpResult httpRequest(unsigned port, const std::string& method, const std::string& path,
                       const std::string& body, const std::string& extraHeaders) {
    std::string raw = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                      "\r\n" + extraHeaders;
    if (method == "POST") {
        raw += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n";
    }
    return parseResponse(rawExchange(port, raw + "\r\n" + body));
}

std::string rawLogin(unsigned port, const std::string& password) {
    const HttpResult r =
        httpRequest(port, "POST", "/api/login", nlohmann::json{{"password", password}}.dump());
    if (r.status != 200) {
        return {};
    }
    return nlohmann::json::parse(r.body).value("token", std::string());
}

HttpResult curl(unsigned port, const std::string& path, const std::vector<std::string>& args) {
    std::string command = "curl -s -i --noproxy '*' --max-time 20";
    for (const auto& arg : args) {
        command += " " + quote(arg);
    }
    command += " " + quote("http://127.0.0.1:" + std::to_string(port) + path) + " 2>/dev/null";
    std::string raw;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[65536];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            raw.append(buffer, n);
        }
        ::pclose(pipe);
    }
    return parseResponse(raw);
}

std::string loginToken(unsigned port, const std::string& password) {
    const HttpResult r = curl(port, "/api/login",
                              {"-X", "POST", "-H", "Content-Type: application/json", "--data",
                               nlohmann::json{{"password", password}}.dump()});
    if (r.status != 200) {
        return {};
    }
    return nlohmann::json::parse(r.body).value("token", std::string());
}

RawWebSocket::RawWebSocket(unsigned port) {
    fd_ = connectLoopback(port);
    if (fd_ < 0) {
        return;
    }
    const std::string host = "127.0.0.1:" + std::to_string(port);
    sendEverything(fd_, "GET /api/ruvi HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
                            "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                            "Sec-WebSocket-Version: 13\r\n\r\n");
    std::string response;
    while (response.find("\r\n\r\n") == std::string::npos &&
           receiveSome(fd_, response, std::chrono::seconds(30))) {
    }
    const std::size_t end = response.find("\r\n\r\n");
    if (response.rfind("HTTP/1.1 101 ", 0) != 0 || end == std::string::npos) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    pending_ = response.substr(end + 4);
}

RawWebSocket::~RawWebSocket() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void RawWebSocket::sendRaw(const std::string& bytes) {
    sendEverything(fd_, bytes);
}

void RawWebSocket::sendFrame(int opcode, const std::string& payload, bool fin, bool mask) {
    std::string frame;
    frame.push_back(static_cast<char>((fin ? 0x80 : 0) | opcode));
    const char maskBit = mask ? static_cast<char>(0x80) : 0;
    if (payload.size() <= 125) {
        frame.push_back(static_cast<char>(maskBit | static_cast<char>(payload.size())));
    } else if (payload.size() <= 65535) {
        frame.push_back(static_cast<char>(maskBit | 126));
        frame.push_back(static_cast<char>(payload.size() >> 8));
        frame.push_back(static_cast<char>(payload.size() & 0xFF));
    } else {
        frame.push_back(static_cast<char>(maskBit | 127));
        for (int shift = 56; shift >= 0; shift -= 8) {
            frame.push_back(static_cast<char>((payload.size() >> shift) & 0xFF));
        }
    }
    const unsigned char key[4] = {0x12, 0x34, 0x56, 0x78};
    if (mask) {
        frame.append(reinterpret_cast<const char*>(key), 4);
    }
    for (std::size_t i = 0; i < payload.size(); ++i) {
        frame.push_back(mask ? static_cast<char>(payload[i] ^ key[i % 4]) : payload[i]);
    }
    sendEverything(fd_, frame);
}

std::pair<int, std::string> RawWebSocket::readFrame(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pending_.size() >= 2) {
            const auto* p = reinterpret_cast<const unsigned char*>(pending_.data());
            std::size_t length = p[1] & 0x7F;
            std::size_t header = 2;
            if (length == 126 && pending_.size() >= 4) {
                length = (static_cast<std::size_t>(p[2]) << 8) | p[3];
                header = 4;
            } else if (length == 127 && pending_.size() >= 10) {
                length = 0;
                for (int i = 0; i < 8; ++i) {
                    length = (length << 8) | p[2 + i];
                }
                header = 10;
            } else if (length >= 126) {
                header = SIZE_MAX;
            }
            if (header != SIZE_MAX && pending_.size() >= header + length) {
                const int opcode = p[0] & 0x0F;
                std::string payload = pending_.substr(header, length);
                pending_.erase(0, header + length);
                return {opcode, payload};
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !receiveSome(fd_, pending_, left)) {
            return {-1, {}};
        }
    }
}

int RawWebSocket::closeCode(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        const auto [opcode, payload] =
            readFrame(std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now()));
        if (opcode == -1) {
            return -1;
        }
        if (opcode == 8) {
            return closeCodeOf(payload);
        }
    }
    return -1;
}

nlohmann::json RawWebSocket::readMessage(const std::string& type,
                                         std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        const auto [opcode, payload] =
            readFrame(std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now()));
        if (opcode == -1 || opcode == 8) {
            return {};
        }
        if (opcode == 1) {
            nlohmann::json message = nlohmann::json::parse(payload);
            if (message.value("type", std::string()) == type) {
                return message;
            }
        }
    }
    return {};
}

void RawWebSocket::authenticate(const std::string& token) {
    sendFrame(1, nlohmann::json{{"type", "auth"}, {"token", token}}.dump());
}

int closeCodeOf(const std::string& payload) {
    if (payload.size() < 2) {
        return 0;
    }
    return (static_cast<unsigned char>(payload[0]) << 8) | static_cast<unsigned char>(payload[1]);
}

} // namespace kestravon::ruvi::test
