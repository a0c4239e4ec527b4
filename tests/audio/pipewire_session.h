#pragma once

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "audio/pipewire_nodes.h"

namespace kestravon::ruvi::testing {

// A private PipeWire session for one test process: dbus-daemon, pipewire and wireplumber as
// children, with their own runtime folder (mode 700), configuration and state, two null sinks at
// 48000 Hz and a fixed quantum of 128 frames. Everything is killed and reaped on destruction.
class PipeWireSession {
public:
    PipeWireSession() {
        char pattern[] = "/tmp/ruvi-pipewire-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            failure_ = "cannot create a temporary folder";
            return;
        }
        root_ = pattern;
        const std::string run = root_ + "/run";
        const std::string conf = root_ + "/config/pipewire/pipewire.conf.d";
        std::filesystem::create_directories(run);
        std::filesystem::create_directories(conf);
        std::filesystem::create_directories(root_ + "/state");
        chmod(run.c_str(), 0700);
        std::ofstream(conf + "/ruvi-null-sinks.conf") << R"conf(
context.properties = {
    default.clock.rate = 48000
    default.clock.allowed-rates = [ 48000 ]
    default.clock.quantum = 128
    default.clock.min-quantum = 128
    default.clock.max-quantum = 128
}
context.objects = [
    { factory = adapter
      args = { factory.name = support.null-audio-sink node.name = "ruvi-null-a"
               node.description = "RUVI Null A" media.class = "Audio/Sink"
               audio.position = [ FL FR ] audio.rate = 48000 object.linger = true
               monitor.channel-volumes = true } }
    { factory = adapter
      args = { factory.name = support.null-audio-sink node.name = "ruvi-null-b"
               node.description = "RUVI Null B" media.class = "Audio/Sink"
               audio.position = [ FL FR ] audio.rate = 48000 object.linger = true
               monitor.channel-volumes = true } }
]
)conf";
        saveEnv("XDG_RUNTIME_DIR", run);
        saveEnv("XDG_CONFIG_HOME", root_ + "/config");
        saveEnv("XDG_STATE_HOME", root_ + "/state");
        saveEnv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + run + "/bus");
        saveEnv("PIPEWIRE_RUNTIME_DIR", run);
        saveEnv("PIPEWIRE_REMOTE", "pipewire-0");
        saveEnv("PIPEWIRE_DEBUG", "0");

        spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile",
               "--address=unix:path=" + run + "/bus"});
        if (!waitFor([&] { return std::filesystem::exists(run + "/bus"); })) {
            failure_ = "dbus-daemon did not start";
            return;
        }
        spawn({"pipewire"});
        if (!waitFor([&] { return std::filesystem::exists(run + "/pipewire-0"); })) {
            failure_ = "pipewire did not start";
            return;
        }
        spawn({"wireplumber"});
        // Ready when the session manager has published its default-node metadata and both
        // null sinks are listed.
        if (!waitFor([&] { return ready(); }, 60.0)) {
            failure_ = "wireplumber did not bring up the null sinks";
        }
    }

    ~PipeWireSession() {
        for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
            kill(*it, SIGTERM);
        }
        for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
            int status = 0;
            bool reaped = false;
            for (int i = 0; i < 200 && !reaped; ++i) {
                reaped = waitpid(*it, &status, WNOHANG) == *it;
                if (!reaped) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
            if (!reaped) {
                kill(*it, SIGKILL);
                waitpid(*it, &status, 0);
            }
        }
        for (const auto& [name, value] : saved_) {
            if (value.has_value()) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
        if (!root_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(root_, ignored);
        }
    }

    PipeWireSession(const PipeWireSession&) = delete;
    PipeWireSession& operator=(const PipeWireSession&) = delete;

    // Empty when the session runs; else why it could not start.
    const std::string& failure() const { return failure_; }

private:
    void saveEnv(const std::string& name, const std::string& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        setenv(name.c_str(), value.c_str(), 1);
    }

    void spawn(const std::vector<std::string>& args) {
        const std::string log = root_ + "/" + args[0] + ".log";
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive a crashed test
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            std::vector<char*> argv;
            for (const std::string& a : args) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        if (pid > 0) {
            children_.push_back(pid);
        }
    }

    bool ready() {
        std::vector<PipeWireNode> nodes;
        PipeWireClock clock;
        if (!readPipeWireNodes(nodes, clock)) {
            return false;
        }
        int sinks = 0;
        for (const PipeWireNode& n : nodes) {
            sinks += n.sink && (n.name == "ruvi-null-a" || n.name == "ruvi-null-b");
        }
        return sinks == 2 && clock.quantum == 128 && sessionManagerUp();
    }

    bool sessionManagerUp() {
        for (const pid_t pid : children_) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                return false; // a daemon died
            }
        }
        // wireplumber's log shows it has loaded its policy once it links anything; give it a
        // moment after the nodes appear.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        return true;
    }

    // The ceilings are for a daemon that never comes up; a busy machine only makes it later.
    template <typename Condition> bool waitFor(Condition condition, double seconds = 30.0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (condition()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::string root_;
    std::string failure_;
    std::vector<pid_t> children_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

} // namespace kestravon::ruvi::testing
