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

// Last: Xlib's macros (None, Bool) must not reach the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

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

// True once a viewable top-level window of the process pid is on the display: the program has
// set itself up (its signal handlers come before its window) and runs its loop.
bool windowOfProcessShown(Display* display, pid_t pid) {
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", True);
    if (pidAtom == None) {
        return false;
    }
    ::Window root = 0;
    ::Window parent = 0;
    ::Window* children = nullptr;
    unsigned count = 0;
    bool shown = false;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) != 0) {
        for (unsigned k = 0; k < count && !shown; ++k) {
            Atom type = None;
            int format = 0;
            unsigned long items = 0;
            unsigned long after = 0;
            unsigned char* value = nullptr;
            if (XGetWindowProperty(display, children[k], pidAtom, 0, 1, False, XA_CARDINAL, &type,
                                   &format, &items, &after, &value) == Success &&
                value != nullptr && format == 32 && items == 1) {
                XWindowAttributes attributes{};
                shown =
                    *reinterpret_cast<unsigned long*>(value) == static_cast<unsigned long>(pid) &&
                    XGetWindowAttributes(display, children[k], &attributes) != 0 &&
                    attributes.map_state == IsViewable;
            }
            if (value != nullptr) {
                XFree(value);
            }
        }
    }
    if (children != nullptr) {
        XFree(children);
    }
    return shown;
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
    EXPECT_EQ(waitForExit(run.pid, 60s), 1); // a ceiling for a program that never ends
    EXPECT_NE(readAll(run.stderrFd).find("needs an X11 display"), std::string::npos);
}

TEST(ProgramProcess, StartsAndEndsCleanlyOnSigterm) {
    if (std::getenv("DISPLAY") == nullptr) {
        GTEST_SKIP() << "no X display";
    }
    const ProgramRun run = startProgram(std::getenv("DISPLAY"));
    ASSERT_GT(run.pid, 0);
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        waitForExit(run.pid, 0ms);
        FAIL() << "the test cannot open the display";
    }
    // Other tests' windows come and go between listing the windows and reading one: an error
    // about a window that just went is no error of the program's.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    // Started means its window is shown; a program that ends first, or never shows it, fails.
    int status = 0;
    bool ended = false;
    bool shown = false;
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (!ended && !(shown = windowOfProcessShown(display, run.pid)) &&
           std::chrono::steady_clock::now() < end) {
        ended = ::waitpid(run.pid, &status, WNOHANG) == run.pid;
        std::this_thread::sleep_for(20ms);
    }
    XCloseDisplay(display);
    ASSERT_FALSE(ended) << "the program ended by itself";
    if (!shown) {
        waitForExit(run.pid, 0ms);
        FAIL() << "the program never showed its window";
    }
    // A second of running after start-up, as before: it keeps running without being told.
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(::waitpid(run.pid, &status, WNOHANG), 0) << "the program ended by itself";
    ::kill(run.pid, SIGTERM);
    EXPECT_EQ(waitForExit(run.pid, 60s), 0); // a ceiling for a program that never ends
    ::close(run.stderrFd);
}

} // namespace
} // namespace kestravon::ruvi
