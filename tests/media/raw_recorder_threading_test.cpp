#include "media/raw_recorder.h"

#include "media/take_journal.h"
#include "tests/support/recorder_test_support.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <random>
#include <thread>

namespace kestravon::ruvi {
namespace {

using namespace std::chrono_literals;
using testing::makeTakeConfig;
using testing::readJournal;
using testing::TakeTempDir;
using testing::TestSignalSource;
using testing::trackData;

// An audio thread: pushes 64-frame blocks of the known signal until told to quit, counting what
// the recorder took. It never waits on the recorder.
class AudioThread {
public:
    AudioThread(RawRecorder& recorder, std::uint32_t lanes, std::chrono::microseconds period)
        : thread_([this, &recorder, lanes, period] {
              TestSignalSource source(lanes, 64);
              while (!quit_.load()) {
                  if (recorder.pushBlock(source.next(64), lanes, 64)) {
                      accepted_.fetch_add(64);
                  }
                  if (period.count() > 0) {
                      std::this_thread::sleep_for(period);
                  }
              }
          }) {}
    ~AudioThread() { stop(); }
    void stop() {
        quit_.store(true);
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    [[nodiscard]] std::uint64_t accepted() const { return accepted_.load(); }

private:
    std::atomic<bool> quit_{false};
    std::atomic<std::uint64_t> accepted_{0};
    std::thread thread_;
};

// A stop that races the tap must still write every block the tap accepted.
TEST(RawRecorderThreading, EveryAcceptedFrameIsWrittenWhenAStopRacesTheTap) {
    std::mt19937 random(7);
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        TakeTempDir dir;
        const RecorderTakeConfig config = makeTakeConfig(dir / "t", {1, 2}, 64, 4096);
        RawRecorder live;
        live.begin(config);
        AudioThread audio(live, 3, 5us);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        if (round % 2 == 0) {
            live.requestStop();
        }
        live.stopWriter();
        audio.stop();

        const RecorderStatus status = live.status();
        ASSERT_EQ(status.state, RecorderState::Complete) << status.faultText;
        EXPECT_EQ(status.acceptedFrames, audio.accepted());
        EXPECT_EQ(status.writtenFrames, status.acceptedFrames);
        EXPECT_EQ(trackData(dir / "t/1-t1.wav").size(), status.acceptedFrames * 4);
        EXPECT_EQ(trackData(dir / "t/2-t2.wav").size(), status.acceptedFrames * 8);
        EXPECT_EQ(readJournal(config.directory).back(),
                  journalFinalized(0, status.acceptedFrames, 0, 0));
    }
}

// The live recorder takes take after take while the audio thread keeps calling the tap.
TEST(RawRecorderThreading, TakesHandOverWhileTheAudioThreadRuns) {
    TakeTempDir dir;
    RawRecorder live;
    AudioThread audio(live, 2, 50us);
    for (int take = 0; take < 4; ++take) {
        SCOPED_TRACE(take);
        const std::string folder = dir / ("Take-" + std::to_string(take));
        live.begin(makeTakeConfig(folder, {2}, 64, 1024));
        while (live.status().acceptedFrames < 64 * 20) {
            std::this_thread::sleep_for(1ms);
        }
        live.requestStop();
        live.stopWriter();
        const RecorderStatus status = live.status();
        ASSERT_EQ(status.state, RecorderState::Complete) << status.faultText;
        EXPECT_EQ(status.writtenFrames, status.acceptedFrames);
        EXPECT_EQ(trackData(folder + "/1-t1.wav").size(), status.acceptedFrames * 8);
    }
}

// Status is read from a third thread throughout; counters never run backwards or out of order.
TEST(RawRecorderThreading, StatusStaysConsistentWhileRecording) {
    TakeTempDir dir;
    RawRecorder live;
    live.begin(makeTakeConfig(dir / "t", {1, 1}, 64, 32768)); // 40 s of ring: no overrun
    std::atomic<bool> done{false};
    std::atomic<int> violations{0};
    std::thread observer([&] {
        RecorderStatus previous;
        while (!done.load()) {
            const RecorderStatus now = live.status();
            const bool ordered = now.committedFrames <= now.writtenFrames &&
                                 now.writtenFrames <= now.acceptedFrames &&
                                 now.acceptedFrames >= previous.acceptedFrames &&
                                 now.writtenFrames >= previous.writtenFrames &&
                                 now.committedFrames >= previous.committedFrames;
            violations.fetch_add(ordered ? 0 : 1);
            previous = now;
        }
    });
    {
        AudioThread audio(live, 2, 20us);
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (live.status().committedFrames < 48000 &&
               live.status().state == RecorderState::Recording &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
    }
    live.stopWriter();
    done.store(true);
    observer.join();
    EXPECT_EQ(violations.load(), 0);
    const RecorderStatus status = live.status();
    EXPECT_GE(status.committedFrames, 48000u);
    EXPECT_EQ(status.writtenFrames, status.acceptedFrames);
}

// A second audio thread in the tap breaks the contract: fault 3, and the take still closes with
// everything that was accepted.
TEST(RawRecorderThreading, ASecondProducerFaultsTheTake) {
    TakeTempDir dir;
    RawRecorder live;
    live.begin(makeTakeConfig(dir / "t", {1, 1, 1, 1, 1, 1, 1, 1}, 64, 16384));
    {
        AudioThread first(live, 8, std::chrono::microseconds(0));
        AudioThread second(live, 8, std::chrono::microseconds(0));
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!live.status().incomplete && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
    }
    live.stopWriter();
    const RecorderStatus status = live.status();
    EXPECT_EQ(status.faultText, "Multiple audio producers violated recorder contract");
    EXPECT_EQ(status.state, RecorderState::Failed);
    EXPECT_EQ(status.writtenFrames, status.acceptedFrames);
    EXPECT_EQ(readJournal(dir / "t").back().at("fault"), 3);
}

// An audio thread that outruns the writer overruns a small ring; what was queued is written.
TEST(RawRecorderThreading, AnOverrunRingIsDrainedByTheWriter) {
    TakeTempDir dir;
    RawRecorder live;
    live.begin(makeTakeConfig(dir / "t", {1}, 64, 2));
    AudioThread audio(live, 1, std::chrono::microseconds(0));
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (live.status().state != RecorderState::Failed &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    audio.stop();
    live.stopWriter();
    const RecorderStatus status = live.status();
    EXPECT_EQ(status.faultText, "Recording queue overrun; take incomplete and capture stopped");
    EXPECT_EQ(status.firstDroppedFrame, status.acceptedFrames);
    EXPECT_EQ(status.droppedFrames, 64u);
    EXPECT_EQ(status.writtenFrames, status.acceptedFrames);
    EXPECT_EQ(status.acceptedFrames, audio.accepted());
    EXPECT_EQ(readJournal(dir / "t").back(),
              journalFinalized(1, status.acceptedFrames, 64, status.acceptedFrames));
}

} // namespace
} // namespace kestravon::ruvi
