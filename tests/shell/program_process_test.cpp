// The built program as a process: what it says without a display, and a start and a SIGTERM
// under the test's own X display.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace kestravon::ruvi {
namespace {

using namespace std::chrono_literals;

struct ProgramRun {
    pid_t pid = -1;
    int stderrFd = -1;
};

// Starts the program with DISPLAY as given (null: unset), stderr to a pipe.
ProgramRun startProgram(const char* display) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) {
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeEnds[1], 2);
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        if (display == nullptr) {
            ::unsetenv("DISPLAY");
            ::unsetenv("WAYLAND_DISPLAY");
        }
        ::setenv("RUVI_LAN_LOOPBACK_ONLY", "1", 1);
        ::setenv("NO_AT_BRIDGE", "1", 1);
        ::execl(RUVI_PROGRAM, RUVI_PROGRAM, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    return {pid, pipeEnds[0]};
}

// The exit status, or -1 when it did not end in time (it is then killed).
int waitForExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(20ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

std::string readAll(int fd) {
    std::string text;
    char buffer[512];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

TEST(ProgramProcess, WithoutADisplayItSaysSoAndExitsOne) {
    const ProgramRun run = startProgram(nullptr);
    ASSERT_GT(run.pid, 0);
    EXPECT_EQ(waitForExit(run.pid, 10s), 1);
    EXPECT_NE(readAll(run.stderrFd).find("needs an X11 display"), std::string::npos);
}

TEST(ProgramProcess, StartsAndEndsCleanlyOnSigterm) {
    if (std::getenv("DISPLAY") == nullptr) {
        GTEST_SKIP() << "no X display";
    }
    const ProgramRun run = startProgram(std::getenv("DISPLAY"));
    ASSERT_GT(run.pid, 0);
    std::this_thread::sleep_for(2s);
    int status = 0;
    ASSERT_EQ(::waitpid(run.pid, &status, WNOHANG), 0) << "the program ended by itself";
    ::kill(run.pid, SIGTERM);
    EXPECT_EQ(waitForExit(run.pid, 5s), 0);
    ::close(run.stderrFd);
}

} // namespace
} // namespace kestravon::ruvi
