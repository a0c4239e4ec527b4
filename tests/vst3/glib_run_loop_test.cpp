#include "vst3/glib_run_loop.h"

#include <gtest/gtest.h>

#include <glib.h>
#include <unistd.h>

#include <stdexcept>

namespace kestravon::ruvi {
namespace {

using Steinberg::kInvalidArgument;
using Steinberg::kResultOk;

template <typename Interface> class Counting : public Interface {
public:
    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID, void** obj) override {
        *obj = nullptr;
        return Steinberg::kNoInterface;
    }
    Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
    Steinberg::uint32 PLUGIN_API release() override { return 1; }
    int calls = 0;
};

struct Timer : Counting<Steinberg::Linux::ITimerHandler> {
    void PLUGIN_API onTimer() override { ++calls; }
};

struct Reader : Counting<Steinberg::Linux::IEventHandler> {
    void PLUGIN_API onFDIsSet(Steinberg::Linux::FileDescriptor fd) override {
        char byte;
        ASSERT_EQ(::read(fd, &byte, 1), 1);
        ++calls;
    }
};

void iterateFor(int milliseconds) {
    const gint64 end = g_get_monotonic_time() + milliseconds * 1000;
    while (g_get_monotonic_time() < end) {
        g_main_context_iteration(nullptr, FALSE);
        g_usleep(1000);
    }
}

TEST(GLibRunLoop, TimersAndDescriptorsCallBackOnTheMainLoop) {
    GLibRunLoop loop;
    Timer timer;
    Reader reader;
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ASSERT_EQ(loop.registerTimer(&timer, 5), kResultOk);
    ASSERT_EQ(loop.registerEventHandler(&reader, pipeEnds[0]), kResultOk);
    ASSERT_EQ(::write(pipeEnds[1], "ab", 2), 2);
    // Runs the loop until both have called back; the ceiling is for callbacks that never come.
    const gint64 ceiling = g_get_monotonic_time() + 30 * G_USEC_PER_SEC;
    while ((timer.calls < 3 || reader.calls < 2) && g_get_monotonic_time() < ceiling) {
        iterateFor(10);
    }
    EXPECT_GE(timer.calls, 3);
    EXPECT_EQ(reader.calls, 2);

    ASSERT_EQ(loop.unregisterTimer(&timer), kResultOk);
    EXPECT_EQ(loop.unregisterTimer(&timer), kInvalidArgument);
    const int fired = timer.calls;
    iterateFor(30);
    EXPECT_EQ(timer.calls, fired);

    // An editor that forgets to unregister is cleaned up with the run loop.
    loop.clear();
    ASSERT_EQ(::write(pipeEnds[1], "c", 1), 1);
    iterateFor(20);
    EXPECT_EQ(reader.calls, 2);
    EXPECT_EQ(loop.registerTimer(nullptr, 5), kInvalidArgument);
    EXPECT_EQ(loop.registerEventHandler(&reader, -1), kInvalidArgument);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
}

// A handler that throws must not unwind through GLib (that ends the process); it keeps firing.
TEST(GLibRunLoop, HandlersThatThrowStayInsideTheirCallback) {
    struct Throwing : Counting<Steinberg::Linux::ITimerHandler> {
        void PLUGIN_API onTimer() override {
            ++calls;
            throw std::runtime_error("plug-in fault");
        }
    } timer;
    struct ThrowingReader : Counting<Steinberg::Linux::IEventHandler> {
        void PLUGIN_API onFDIsSet(Steinberg::Linux::FileDescriptor fd) override {
            char byte;
            (void)::read(fd, &byte, 1);
            ++calls;
            throw 42;
        }
    } reader;
    GLibRunLoop loop;
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ASSERT_EQ(loop.registerTimer(&timer, 5), kResultOk);
    ASSERT_EQ(loop.registerEventHandler(&reader, pipeEnds[0]), kResultOk);
    ASSERT_EQ(::write(pipeEnds[1], "ab", 2), 2);
    iterateFor(60);
    EXPECT_GE(timer.calls, 3);
    EXPECT_EQ(reader.calls, 2);
    loop.clear();
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
}

} // namespace
} // namespace kestravon::ruvi
