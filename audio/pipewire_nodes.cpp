#include "audio/pipewire_nodes.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "audio/performance_counter.h"

extern char** environ;

namespace kestravon::ruvi {

namespace {

int intOf(const nlohmann::json& v, int fallback) {
    if (v.is_number_integer()) {
        return v.get<int>();
    }
    if (v.is_string()) {
        return std::atoi(v.get<std::string>().c_str());
    }
    if (v.is_number()) {
        const double d = v.get<double>();
        return d >= 0.0 && d <= 1e9 ? static_cast<int>(d) : fallback;
    }
    return fallback;
}

const nlohmann::json& member(const nlohmann::json& object, const char* key) {
    static const nlohmann::json missing;
    if (object.is_object()) {
        const auto it = object.find(key);
        if (it != object.end()) {
            return *it;
        }
    }
    return missing;
}

std::string stringOf(const nlohmann::json& object, const char* key) {
    const nlohmann::json& v = member(object, key);
    return v.is_string() ? v.get<std::string>() : std::string();
}

} // namespace

bool pipeWireServerRunning() {
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    const char* runtime = std::getenv("PIPEWIRE_RUNTIME_DIR");
    if (runtime == nullptr) {
        runtime = std::getenv("XDG_RUNTIME_DIR");
    }
    if (runtime == nullptr) {
        return false;
    }
    const std::string path =
        std::string(runtime) + "/" + (remote != nullptr ? remote : "pipewire-0");
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

namespace {

// Runs pw-dump and returns its output; empty on any failure or after two seconds.
std::string runPwDump() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char arg0[] = "pw-dump";
    char* argv[] = {arg0, nullptr};
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, "pw-dump", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string out;
    if (rc != 0) {
        close(fds[0]);
        return {};
    }
    const std::int64_t deadline = monotonicNanoseconds() + 2'000'000'000;
    char buffer[65536];
    bool timedOut = false;
    for (;;) {
        const std::int64_t left = (deadline - monotonicNanoseconds()) / 1'000'000;
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (timedOut) {
        kill(pid, SIGKILL);
        out.clear();
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return out;
}

} // namespace

void parsePipeWireDump(const std::string& text, std::vector<PipeWireNode>& nodes,
                       PipeWireClock& clock) {
    const nlohmann::json dump = nlohmann::json::parse(text, nullptr, false);
    if (!dump.is_array()) {
        return;
    }
    for (const auto& object : dump) {
        const std::string type = stringOf(object, "type");
        if (type == "PipeWire:Interface:Metadata") {
            if (stringOf(member(object, "props"), "metadata.name") != "settings") {
                continue;
            }
            const nlohmann::json& entries = member(object, "metadata");
            if (!entries.is_array()) {
                continue;
            }
            for (const auto& entry : entries) {
                const std::string key = stringOf(entry, "key");
                const nlohmann::json& value = member(entry, "value");
                if (key == "clock.rate") {
                    clock.rate = intOf(value, 0);
                } else if (key == "clock.quantum") {
                    clock.quantum = intOf(value, 0);
                } else if (key == "clock.min-quantum") {
                    clock.minimumQuantum = intOf(value, 0);
                } else if (key == "clock.max-quantum") {
                    clock.maximumQuantum = intOf(value, 0);
                }
            }
            continue;
        }
        if (type != "PipeWire:Interface:Node") {
            continue;
        }
        const nlohmann::json& props = member(member(object, "info"), "props");
        const std::string mediaClass = stringOf(props, "media.class");
        PipeWireNode node;
        node.sink = mediaClass == "Audio/Sink" || mediaClass == "Audio/Duplex";
        node.source = mediaClass.rfind("Audio/Source", 0) == 0 || mediaClass == "Audio/Duplex";
        node.name = stringOf(props, "node.name");
        if ((!node.sink && !node.source) || node.name.empty()) {
            continue;
        }
        node.description = stringOf(props, "node.description");
        if (node.description.empty()) {
            node.description = node.name;
        }
        const nlohmann::json& channels = member(props, "audio.channels");
        const std::string positions = stringOf(props, "audio.position");
        if (!channels.is_null()) {
            node.channels = intOf(channels, 2);
        } else if (!positions.empty()) {
            // "[ FL FR ]" or "FL,FR": count the position names.
            int count = 0;
            bool inName = false;
            for (const char c : positions) {
                const bool letter = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
                count += letter && !inName;
                inName = letter;
            }
            node.channels = count > 0 ? count : 2;
        }
        node.rate = intOf(member(props, "audio.rate"), 0);
        nodes.push_back(std::move(node));
    }
    for (PipeWireNode& node : nodes) {
        if (node.rate <= 0) {
            node.rate = clock.rate > 0 ? clock.rate : 48000;
        }
    }
}

bool readPipeWireNodes(std::vector<PipeWireNode>& nodes, PipeWireClock& clock) {
    nodes.clear();
    clock = PipeWireClock{};
    if (!pipeWireServerRunning()) {
        return false;
    }
    const std::string text = runPwDump();
    if (text.empty()) {
        return false;
    }
    parsePipeWireDump(text, nodes, clock);
    return true;
}

} // namespace kestravon::ruvi
