#include "media/raw_recorder.h"

#include "media/take_journal.h"
#include "media/take_wav_header.h"
#include "tests/support/recorder_test_support.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kestravon::ruvi {
namespace {

using namespace std::chrono_literals;
using testing::committedFrames;
using testing::firstWrongFrame;
using testing::hashPrefix;
using testing::makeTakeConfig;
using testing::readJournal;
using testing::readWholeFile;
using testing::TakeTempDir;
using testing::TestSignalSource;
using testing::trackData;

std::string headerString(std::uint32_t rate, std::uint32_t channels, std::uint64_t frames) {
    const WavHeaderBytes bytes = makeWavHeader(rate, channels, frames);
    return std::string(bytes.begin(), bytes.end());
}

std::uint64_t laneCountOf(const RecorderTakeConfig& config) {
    std::uint64_t lanes = 0;
    for (const auto& track : config.tracks) {
        lanes += track.sourceLanes.size();
    }
    return lanes;
}

// Pushes `blocks` blocks of `frames` frames at `speed` times real time, the way a device period
// thread would: on a fixed schedule, never retrying a refused block. Returns the refused count.
int pushLikeAnAudioThread(RawRecorder& recorder, TestSignalSource& source, std::uint64_t lanes,
                          std::uint32_t rate, std::uint32_t frames, long blocks, double speed) {
    const auto period = std::chrono::duration<double>(frames / (rate * speed));
    auto next = std::chrono::steady_clock::now();
    int refused = 0;
    for (long b = 0; b < blocks; ++b) {
        refused += recorder.pushBlock(source.next(frames), lanes, frames) ? 0 : 1;
        next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
        std::this_thread::sleep_until(next);
    }
    return refused;
}

std::string commandOutput(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        out += buffer;
    }
    ::pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) {
        out.pop_back();
    }
    return out;
}

// Twenty seconds of a known signal through the tap, read back by sox, an independent reader.
TEST(RawRecorderEndToEndIntegration, SoxReadsBackEverySampleAndHash) {
    TakeTempDir dir;
    // A ring that holds the whole take: a loaded machine may stall the writer, never the check.
    const RecorderTakeConfig config = makeTakeConfig(dir / "Take-1", {1, 1, 2, 1, 2, 1}, 128, 8192);
    const std::uint64_t lanes = laneCountOf(config);
    RawRecorder live;
    live.begin(config);

    const long blocks = 7500; // 20 s of 128-frame periods, fitting the ring
    int refused = -1;
    std::thread audio([&] {
        TestSignalSource source(static_cast<std::uint32_t>(lanes), 128);
        refused = pushLikeAnAudioThread(live, source, lanes, 48000, 128, blocks, 5.0);
    });
    audio.join();
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(live.requestStop(), RecorderState::Recording);
    live.stopWriter();

    const std::uint64_t frames = blocks * 128;
    const RecorderStatus status = live.status();
    ASSERT_EQ(status.state, RecorderState::Complete);
    EXPECT_EQ(status.writtenFrames, frames);
    const auto journal = readJournal(config.directory);
    EXPECT_EQ(committedFrames(journal).size(), 2u + 19u + 1u); // prepare, 19 drains, the end
    const nlohmann::json& last = journal[journal.size() - 2];
    ASSERT_EQ(last.at("frames"), frames);

    for (std::size_t t = 0; t < config.tracks.size(); ++t) {
        const auto& track = config.tracks[t];
        SCOPED_TRACE(track.id);
        const std::string file = config.directory + "/" + takeTrackFileName(t, track);
        const std::string quoted = "'" + file + "'";
        EXPECT_EQ(commandOutput("sox --i -r " + quoted), "48000");
        EXPECT_EQ(commandOutput("sox --i -c " + quoted), std::to_string(track.sourceLanes.size()));
        EXPECT_EQ(commandOutput("sox --i -s " + quoted), std::to_string(frames));
        EXPECT_EQ(commandOutput("sox --i -b " + quoted), "32");
        EXPECT_EQ(commandOutput("sox --i -e " + quoted), "Floating Point PCM");

        const std::string raw = dir / (track.id + ".raw");
        ASSERT_EQ(std::system(("sox " + quoted + " -t raw -e floating-point -b 32 -L '" + raw +
                               "' 2>/dev/null")
                                  .c_str()),
                  0);
        const std::string decoded = readWholeFile(raw);
        ASSERT_EQ(decoded.size(), frames * track.sourceLanes.size() * 4);
        EXPECT_EQ(firstWrongFrame(decoded, frames, track.sourceLanes), frames);
        EXPECT_EQ(hashPrefix(decoded, decoded.size()),
                  last.at("hashes").at(t).get<std::uint64_t>());
    }
}

// A take killed outright keeps readable files and every frame up to the last commit.
TEST(RawRecorderCrash, SigkilledTakeKeepsEveryCommittedFrame) {
    TakeTempDir dir;
    // The ring holds far more than the child records, so only the kill ends its take.
    const RecorderTakeConfig config = makeTakeConfig(dir / "Take-1", {1, 2, 1}, 128, 8192);
    const std::uint64_t lanes = laneCountOf(config);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            RawRecorder live;
            live.begin(config);
            TestSignalSource source(static_cast<std::uint32_t>(lanes), 128);
            pushLikeAnAudioThread(live, source, lanes, 48000, 128, 1L << 40, 4.0);
        } catch (...) {
        }
        ::_exit(3);
    }

    // Kill it somewhere in its fourth second of audio.
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    std::uint64_t committed = 0;
    while (committed < 3 * 48000 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
        if (std::filesystem::exists(config.directory + "/recovery.jsonl")) {
            const auto frames = committedFrames(readJournal(config.directory));
            committed = frames.empty() ? 0 : frames.back();
        }
    }
    std::this_thread::sleep_for(37ms);
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int waitStatus = 0;
    ASSERT_EQ(::waitpid(child, &waitStatus, 0), child);
    ASSERT_TRUE(WIFSIGNALED(waitStatus)) << "the recording child ended by itself";
    ASSERT_GE(committed, 3u * 48000u);

    EXPECT_EQ(nlohmann::json::parse(readWholeFile(config.directory + "/take.json")),
              takeManifestJson(config));
    const auto journal = readJournal(config.directory);
    const nlohmann::json* last = nullptr;
    for (const auto& line : journal) {
        EXPECT_NE(line.at("event"), "finalized");
        if (line.at("event") == "committed") {
            last = &line;
        }
    }
    ASSERT_NE(last, nullptr);
    const auto frames = last->at("frames").get<std::uint64_t>();
    for (std::size_t t = 0; t < config.tracks.size(); ++t) {
        const auto& track = config.tracks[t];
        SCOPED_TRACE(track.id);
        const std::string file = config.directory + "/" + takeTrackFileName(t, track);
        const std::size_t width = track.sourceLanes.size();
        EXPECT_EQ(readWholeFile(file).substr(0, 92), headerString(48000, width, 0));
        const std::string data = trackData(file);
        ASSERT_GE(data.size(), frames * width * 4);
        EXPECT_EQ(hashPrefix(data, frames * width * 4),
                  last->at("hashes").at(t).get<std::uint64_t>());
        const std::uint64_t onDisk = data.size() / (width * 4);
        EXPECT_EQ(firstWrongFrame(data, onDisk, track.sourceLanes), onDisk);
        std::cout << "track " << track.id << ": " << frames << " committed frames intact, "
                  << onDisk - frames << " more frames survived after the last commit\n";
        ::testing::Test::RecordProperty("framesAfterCommit_" + track.id,
                                        std::to_string(onDisk - frames));
    }
}

// Keeps a file size limit in force for the scope, with the signal it raises ignored, so writes
// past it fail with EFBIG like a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        savedHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, savedHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*savedHandler_)(int) = nullptr;
};

TEST(RawRecorderDiskFailure, WriteErrorEndsTheWriterAndKeepsWhatWasWritten) {
    TakeTempDir dir;
    const RecorderTakeConfig config = makeTakeConfig(dir / "Take-1", {1, 1}, 512, 1024);
    RawRecorder live;
    live.begin(config);
    constexpr rlim_t kLimit = 200000; // a little over one second of a mono track
    {
        const FileSizeLimit limit(kLimit);
        TestSignalSource source(2, 512);
        int accepted = 0;
        for (int b = 0; b < 400; ++b) { // more than the limit holds, less than the ring
            accepted += live.pushBlock(source.next(512), 2, 512) ? 1 : 0;
            std::this_thread::sleep_for(200us);
        }
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (live.status().state != RecorderState::Failed &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        // The tap stays closed and answers at once.
        EXPECT_FALSE(live.pushBlock(source.next(512), 2, 512));
        const RecorderStatus failed = live.status();
        ASSERT_EQ(failed.state, RecorderState::Failed);
        EXPECT_EQ(failed.faultText, "Recording disk writer/preparation failed");
        EXPECT_EQ(failed.acceptedFrames, accepted * 512u);
        live.stopWriter();
    }

    const RecorderStatus status = live.status();
    EXPECT_TRUE(status.incomplete);
    EXPECT_EQ(status.faultText, "Recording write failed (system error 27)");
    EXPECT_EQ(status.firstDroppedFrame, status.writtenFrames);
    EXPECT_EQ(status.droppedFrames, status.acceptedFrames - status.writtenFrames);
    EXPECT_EQ(status.committedFrames, 48128u); // the first block end past one second

    const auto journal = readJournal(config.directory);
    EXPECT_EQ(journal.back(),
              journalWriterFailed("Recording write failed (system error 27)", status.writtenFrames,
                                  48128, status.droppedFrames, status.writtenFrames));
    EXPECT_EQ(readWholeFile(config.directory + "/1-t1.wav").size(), kLimit);
    for (std::size_t t = 0; t < 2; ++t) {
        SCOPED_TRACE(t);
        const std::string file = config.directory + "/" + takeTrackFileName(t, config.tracks[t]);
        EXPECT_EQ(readWholeFile(file).substr(0, 92), headerString(48000, 1, 0));
        const std::string data = trackData(file);
        ASSERT_GE(data.size(), status.writtenFrames * 4);
        EXPECT_EQ(firstWrongFrame(data, status.writtenFrames, config.tracks[t].sourceLanes),
                  status.writtenFrames);
        EXPECT_EQ(hashPrefix(data, 48128 * 4),
                  journal[journal.size() - 2].at("hashes").at(t).get<std::uint64_t>());
    }
}

} // namespace
} // namespace kestravon::ruvi
