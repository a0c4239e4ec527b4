#include "shell_test_support.h"

#include "app/application.h"
#include "audio/endpoint_catalogue.h"
#include "audio/virtual_endpoints.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

namespace kestravon::ruvi {

std::unique_ptr<Application> headlessApplication() {
    auto set = std::make_shared<VirtualEndpointSet>();
    return std::make_unique<Application>(std::make_shared<EndpointCatalogue>(
        std::vector<std::shared_ptr<AudioEndpointProvider>>{set}));
}

std::string probeWebRoot() {
    return std::string(RUVI_SHELL_TEST_DIR) + "/probe_ui";
}

unsigned freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("no free loopback port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

namespace {

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

} // namespace

CurlReply curlPost(unsigned port, const std::string& path, const std::string& body,
                   const std::string& token) {
    std::string command = "curl -s -m 10 -o - -w '\\n%{http_code}' -X POST -H "
                          "'Content-Type: application/json' ";
    if (!token.empty()) {
        command += "-H " + shellQuote("Authorization: Bearer " + token) + " ";
    }
    command += "--data-binary " + shellQuote(body) + " " +
               shellQuote("http://127.0.0.1:" + std::to_string(port) + path);
    CurlReply reply;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return reply;
    }
    std::string output;
    std::array<char, 4096> buffer{};
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        output.append(buffer.data(), got);
    }
    ::pclose(pipe);
    const auto newline = output.rfind('\n');
    if (newline == std::string::npos) {
        return reply;
    }
    reply.body = output.substr(0, newline);
    reply.status = std::atoi(output.c_str() + newline + 1);
    return reply;
}

std::string curlLogin(unsigned port, const std::string& password) {
    const CurlReply reply =
        curlPost(port, "/api/login", nlohmann::json{{"password", password}}.dump());
    if (reply.status != 200) {
        return {};
    }
    return nlohmann::json::parse(reply.body).value("token", std::string());
}

std::optional<std::string> ScriptedDialogs::chooseSessionToSave() {
    ++saveDialogs;
    if (sessionAnswers.empty()) {
        return std::nullopt;
    }
    auto answer = sessionAnswers.front();
    sessionAnswers.pop_front();
    return answer;
}

std::optional<std::string> ScriptedDialogs::chooseSessionToOpen() {
    ++openDialogs;
    if (sessionAnswers.empty()) {
        return std::nullopt;
    }
    auto answer = sessionAnswers.front();
    sessionAnswers.pop_front();
    return answer;
}

std::optional<std::vector<std::string>> ScriptedDialogs::chooseWavFiles() {
    ++wavDialogs;
    if (wavAnswers.empty()) {
        return std::nullopt;
    }
    auto answer = wavAnswers.front();
    wavAnswers.pop_front();
    return answer;
}

bool ScriptedDialogs::confirmReplace(const std::string& path) {
    replaceQuestions.push_back(path);
    if (replaceAnswers.empty()) {
        return false;
    }
    const bool answer = replaceAnswers.front();
    replaceAnswers.pop_front();
    return answer;
}

void ScriptedDialogs::showError(const std::string& text) {
    errors.push_back(text);
}

EditorWindow* CountingEditorHost::createEditorWindow(std::string& error) {
    ++created;
    error = "no editor window in this test";
    return nullptr;
}

bool coreMethodMissing(const nlohmann::json& reply) {
    return reply.is_object() && reply.value("ok", true) == false &&
           reply.value("error", std::string()).rfind("Native method not implemented", 0) == 0;
}

// A 16-bit PCM WAV of a quiet ramp.
void writeWav(const std::string& path, std::uint32_t rate, std::uint16_t channels,
              std::uint32_t frames) {
    std::ofstream out(path, std::ios::binary);
    const auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const std::uint32_t bytes = frames * channels * 2;
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(channels);
    u32(rate);
    u32(rate * channels * 2);
    u16(static_cast<std::uint16_t>(channels * 2));
    u16(16);
    out.write("data", 4);
    u32(bytes);
    std::vector<std::int16_t> samples(static_cast<std::size_t>(frames) * channels);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        samples[k] = static_cast<std::int16_t>((k % 200) * 10);
    }
    out.write(reinterpret_cast<const char*>(samples.data()),
              static_cast<std::streamsize>(samples.size() * 2));
}

TempFolder::TempFolder() {
    std::random_device seed;
    path = (std::filesystem::temp_directory_path() /
            ("ruvi-shell-" + std::to_string(::getpid()) + "-" + std::to_string(seed())))
               .string();
    std::filesystem::create_directories(path);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

} // namespace kestravon::ruvi
