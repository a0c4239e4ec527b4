#include "media/raw_recorder.h"

#include "media/take_journal.h"
#include "media/take_queue_budget.h"
#include "media/take_wav_header.h"
#include "tests/support/recorder_test_support.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

namespace kestravon::ruvi {
namespace {

using namespace std::chrono_literals;
using testing::committedFrames;
using testing::firstWrongFrame;
using testing::hashPrefix;
using testing::makeTakeConfig;
using testing::readJournal;
using testing::readLines;
using testing::readWholeFile;
using testing::TakeTempDir;
using testing::TestSignalSource;
using testing::trackData;

std::string headerString(std::uint32_t rate, std::uint32_t channels, std::uint64_t frames) {
    const WavHeaderBytes bytes = makeWavHeader(rate, channels, frames);
    return std::string(bytes.begin(), bytes.end());
}

std::string failureText(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no failure)";
}

void waitForState(const RawRecorder& recorder, RecorderState state) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (recorder.status().state != state && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(recorder.status().state, state);
}

// Every committed hash matches the file's bytes, and the data is the known signal.
void expectTrackMatchesJournal(const std::string& folder, const RecorderTakeConfig& config,
                               std::uint64_t frames) {
    const auto journal = readJournal(folder);
    for (std::size_t t = 0; t < config.tracks.size(); ++t) {
        SCOPED_TRACE(config.tracks[t].id);
        const auto& lanes = config.tracks[t].sourceLanes;
        const std::string file = folder + "/" + takeTrackFileName(t, config.tracks[t]);
        const std::string data = trackData(file);
        ASSERT_EQ(data.size(), frames * lanes.size() * 4);
        EXPECT_EQ(readWholeFile(file).substr(0, 92),
                  headerString(config.sampleRate, lanes.size(), frames));
        EXPECT_EQ(firstWrongFrame(data, frames, lanes), frames);
        for (const auto& line : journal) {
            if (line.at("event") == "committed") {
                const auto covered = line.at("frames").get<std::uint64_t>();
                EXPECT_EQ(line.at("hashes").at(t).get<std::uint64_t>(),
                          hashPrefix(data, covered * lanes.size() * 4))
                    << "commit at " << covered;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Preparing a take

TEST(RawRecorderPrepare, WritesTheTakeFolderByteForByte) {
    TakeTempDir parent;
    RecorderTakeConfig config;
    config.directory = parent / "Take-1";
    config.sampleRate = 96000;
    config.firstSourceFrame = 4800;
    config.tracks = {{"kick", "Kick In", {0}}, {"ovh", "Overheads", {2, 3}}, {"vox", "", {7}}};

    RawRecorder prepared = RawRecorder::prepareTake(config);

    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(config.directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"1-kick.wav", "2-ovh.wav", "3-vox.wav",
                                               "recovery.jsonl", "take.json"}));
    EXPECT_EQ(
        readWholeFile(config.directory + "/take.json"),
        R"({"encoding":"IEEE-float32","firstSourceFrame":4800,)"
        R"("format":"kestravon-live-raw-take","headerBytes":92,"sampleRate":96000,)"
        R"("tap":"raw-input-pre-effects-pre-fader","tracks":[)"
        R"({"channels":1,"file":"1-kick.wav","id":"kick","name":"Kick In","sourceLanes":[0]},)"
        R"({"channels":2,"file":"2-ovh.wav","id":"ovh","name":"Overheads",)"
        R"("sourceLanes":[2,3]},)"
        R"({"channels":1,"file":"3-vox.wav","id":"vox","name":"","sourceLanes":[7]}],)"
        R"("version":1})"
        "\n");
    EXPECT_EQ(readWholeFile(config.directory + "/recovery.jsonl"),
              "{\"event\":\"prepared\",\"frames\":0}\n"
              "{\"event\":\"committed\",\"frames\":0,\"hashAlgorithm\":\"fnv1a64-audio-bytes\","
              "\"hashes\":[14695981039346656037,14695981039346656037,14695981039346656037]}\n");
    EXPECT_EQ(readWholeFile(config.directory + "/1-kick.wav"), headerString(96000, 1, 0));
    EXPECT_EQ(readWholeFile(config.directory + "/2-ovh.wav"), headerString(96000, 2, 0));
    EXPECT_EQ(readWholeFile(config.directory + "/3-vox.wav"), headerString(96000, 1, 0));

    const RecorderStatus status = prepared.status();
    EXPECT_EQ(status.state, RecorderState::Idle);
    EXPECT_EQ(status.queueBytes, 256u * 512u * 4u * 4u);
    EXPECT_EQ(status.takeDirectory, config.directory);
}

TEST(RawRecorderPrepare, RefusesBadConfigurationsBeforeTouchingTheDisk) {
    using Edit = std::function<void(RecorderTakeConfig&)>;
    const std::string badConfig = "Invalid raw recorder configuration";
    const std::string badTrack = "Invalid recorder track ID/width/name";
    const std::string budget = "Combined old/new recorder queues exceed 512 MiB budget";
    const struct {
        const char* label;
        Edit edit;
        std::string message;
    } cases[] = {
        {"no folder", [](auto& c) { c.directory.clear(); }, badConfig},
        {"rate too low", [](auto& c) { c.sampleRate = 7999; }, badConfig},
        {"rate too high", [](auto& c) { c.sampleRate = 384001; }, badConfig},
        {"no block", [](auto& c) { c.blockFrames = 0; }, badConfig},
        {"block too long", [](auto& c) { c.blockFrames = 65537; }, badConfig},
        {"one slot", [](auto& c) { c.queueSlots = 1; }, badConfig},
        {"too many slots", [](auto& c) { c.queueSlots = 65537; }, badConfig},
        {"no tracks", [](auto& c) { c.tracks.clear(); }, badConfig},
        {"129 tracks",
         [](auto& c) {
             for (int i = 0; c.tracks.size() < 129; ++i) {
                 c.tracks.push_back({"x" + std::to_string(i), "", {0}});
             }
         },
         badConfig},
        {"other tap", [](auto& c) { c.tap = "post-fader"; }, badConfig},
        {"repeated id", [](auto& c) { c.tracks[1].id = c.tracks[0].id; }, badTrack},
        {"id of 97", [](auto& c) { c.tracks[0].id = std::string(97, 'a'); }, badTrack},
        {"empty id", [](auto& c) { c.tracks[0].id.clear(); }, badTrack},
        {"id with a dot", [](auto& c) { c.tracks[0].id = "kick.in"; }, badTrack},
        {"id with a space", [](auto& c) { c.tracks[0].id = "kick in"; }, badTrack},
        {"id with a slash", [](auto& c) { c.tracks[0].id = "../up"; }, badTrack},
        {"no lanes", [](auto& c) { c.tracks[0].sourceLanes.clear(); }, badTrack},
        {"three lanes",
         [](auto& c) {
             c.tracks[0].sourceLanes = {0, 1, 2};
         },
         badTrack},
        {"name of 1025", [](auto& c) { c.tracks[0].name = std::string(1025, 'n'); }, badTrack},
        {"lane 4096",
         [](auto& c) {
             c.tracks[1].sourceLanes = {1, 4096};
         },
         "Source lane exceeds recorder budget"},
        {"queue too big",
         [](auto& c) {
             c.blockFrames = 65536;
             c.queueSlots = 65536;
         },
         budget},
        {"retained bytes beside a full queue",
         [](auto& c) {
             c.blockFrames = 4096;
             c.queueSlots = 128;
             c.tracks = {};
             for (int i = 0; i < 128; ++i) {
                 c.tracks.push_back({"s" + std::to_string(i), "", {0, 1}});
             }
             c.retainedQueueBytes = 4;
         },
         budget},
        {"retained bytes alone too many", [](auto& c) { c.retainedQueueBytes = 536870913; },
         budget},
    };
    TakeTempDir parent;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        RecorderTakeConfig config = makeTakeConfig(parent / "take", {1, 2});
        c.edit(config);
        EXPECT_EQ(failureText([&] { (void)RawRecorder::prepareTake(config); }), c.message);
        EXPECT_FALSE(std::filesystem::exists(parent / "take"));
    }
}

TEST(RawRecorderPrepare, QueueBudgetHoldsExactlyFiveHundredTwelveMebibytes) {
    EXPECT_TRUE(recorderQueueFitsBudget(256, 4096, 128, 0));
    EXPECT_FALSE(recorderQueueFitsBudget(256, 4096, 128, 1));
    EXPECT_TRUE(recorderQueueFitsBudget(128, 4096, 256, 0));
    EXPECT_TRUE(recorderQueueFitsBudget(128, 4096, 128, 268435456));
    EXPECT_FALSE(recorderQueueFitsBudget(128, 4096, 128, 268435457));
    EXPECT_FALSE(recorderQueueFitsBudget(65536, 65536, 256, 0)); // no overflow into a small size
}

TEST(RawRecorderPrepare, LeavesAnExistingFolderUntouched) {
    TakeTempDir parent;
    const std::string folder = parent / "Take-1";
    std::filesystem::create_directory(folder);
    { std::ofstream(folder + "/take.json") << "earlier take"; }

    EXPECT_EQ(failureText([&] { (void)RawRecorder::prepareTake(makeTakeConfig(folder, {1})); }),
              "Recording directory already exists");
    EXPECT_EQ(readWholeFile(folder + "/take.json"), "earlier take");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
}

TEST(RawRecorderPrepare, ReportsAMissingParentAsTheFileSystemError) {
    TakeTempDir parent;
    const std::string text = failureText(
        [&] { (void)RawRecorder::prepareTake(makeTakeConfig(parent / "no/Take-1", {1})); });
    EXPECT_NE(text.find("create_directory"), std::string::npos) << text;
    EXPECT_NE(text.find("No such file or directory"), std::string::npos) << text;
}

// The callback is asked at each step; a cancel at call n leaves what the steps before created.
TEST(RawRecorderPrepare, CancellationKeepsThePartialTake) {
    const struct {
        int cancelAtCall;
        std::vector<std::string> left;
        std::size_t journalLines;
    } cases[] = {
        {1, {}, 0},
        {2, {}, 0}, // the folder exists but is empty
        {3, {"recovery.jsonl", "take.json"}, 1},
        {4, {"1-t1.wav", "recovery.jsonl", "take.json"}, 1},
        {5, {"1-t1.wav", "2-t2.wav", "recovery.jsonl", "take.json"}, 1},
        {6, {"1-t1.wav", "2-t2.wav", "recovery.jsonl", "take.json"}, 2}, // after the first commit
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cancelAtCall);
        TakeTempDir parent;
        const std::string folder = parent / "Take-1";
        int calls = 0;
        const auto cancel = [&] { return ++calls == c.cancelAtCall; };
        EXPECT_EQ(failureText([&] {
                      (void)RawRecorder::prepareTake(makeTakeConfig(folder, {1, 2}), cancel);
                  }),
                  "Recording preparation cancelled; partial take retained");
        EXPECT_EQ(std::filesystem::exists(folder), c.cancelAtCall > 1);
        std::vector<std::string> names;
        if (std::filesystem::exists(folder)) {
            for (const auto& entry : std::filesystem::directory_iterator(folder)) {
                names.push_back(entry.path().filename().string());
            }
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, c.left);
        EXPECT_EQ(readLines(folder + "/recovery.jsonl").size(), c.journalLines);
    }
}

TEST(RawRecorderPrepare, InvalidUtf8NameFailsTheManifestAndKeepsTheFolder) {
    TakeTempDir parent;
    RecorderTakeConfig config = makeTakeConfig(parent / "Take-1", {1});
    config.tracks[0].name = "bad \xFF name";
    EXPECT_THROW((void)RawRecorder::prepareTake(config), nlohmann::json::type_error);
    EXPECT_TRUE(std::filesystem::exists(parent / "Take-1/take.json"));
}

// ---------------------------------------------------------------------------------------------
// The tap and the writer, driven from the test thread

class RawRecorderTake : public ::testing::Test {
protected:
    // Installs a take of `widths` tracks into the live recorder.
    RecorderTakeConfig start(const std::vector<std::uint32_t>& widths, std::uint32_t blockFrames,
                             std::uint32_t slots) {
        RecorderTakeConfig config = makeTakeConfig(dir_ / "Take-1", widths, blockFrames, slots);
        RawRecorder prepared = RawRecorder::prepareTake(config);
        EXPECT_TRUE(live_.installPrepared(prepared));
        return config;
    }
    // Pushes `blocks` blocks of `frames` frames of the known signal; returns how many were queued.
    int push(int blocks, std::uint32_t frames) {
        int queued = 0;
        for (int b = 0; b < blocks; ++b) {
            queued += live_.pushBlock(source_.next(frames), kLanes, frames) ? 1 : 0;
        }
        return queued;
    }
    // Pushes while the writer keeps up: waits whenever the ring is more than half full.
    void pushPaced(std::uint64_t frames, std::uint32_t block) {
        for (std::uint64_t done = 0; done < frames; done += block) {
            while (live_.status().queuedBlocks > 8) {
                std::this_thread::sleep_for(100us);
            }
            ASSERT_TRUE(live_.pushBlock(source_.next(block), kLanes, block));
        }
    }
    static constexpr std::uint32_t kLanes = 8;
    TakeTempDir dir_;
    RawRecorder live_;
    TestSignalSource source_{kLanes, 4096};
};

TEST_F(RawRecorderTake, RecordsEveryTrackAndRewritesTheHeadersAtTheEnd) {
    // Lanes out of order, and six of them: four go through the tap's grouped copy, two alone.
    RecorderTakeConfig config = makeTakeConfig(dir_ / "Take-1", {1, 2, 1, 2}, 512, 16);
    config.tracks[0].sourceLanes = {5};
    config.tracks[1].sourceLanes = {0, 7};
    config.tracks[3].sourceLanes = {6, 1};
    RawRecorder prepared = RawRecorder::prepareTake(config);
    ASSERT_TRUE(live_.installPrepared(prepared));
    const std::uint64_t frames = 512 * 290; // a little over three seconds
    pushPaced(frames, 512);
    EXPECT_EQ(live_.requestStop(), RecorderState::Recording);
    waitForState(live_, RecorderState::Complete);
    live_.stopWriter();

    const RecorderStatus status = live_.status();
    EXPECT_EQ(status.acceptedFrames, frames);
    EXPECT_EQ(status.writtenFrames, frames);
    EXPECT_EQ(status.committedFrames, frames);
    EXPECT_FALSE(status.incomplete);
    EXPECT_EQ(status.faultText, "");
    expectTrackMatchesJournal(config.directory, config, frames);
    const auto journal = readJournal(config.directory);
    EXPECT_EQ(journal.back(), journalFinalized(0, frames, 0, 0));
    EXPECT_EQ(journal[journal.size() - 2].at("frames"), frames);
}

TEST_F(RawRecorderTake, CommitsOnTheFirstBlockEndPastEachSecond) {
    const struct {
        std::uint32_t block;
        int blocks;
        std::uint32_t tail; // one shorter last block, 0 for none
        std::vector<std::uint64_t> commits;
    } cases[] = {
        {128, 937, 64, {0, 48000, 96000, 120000}}, // 2.5 s of 128-frame blocks
        {128, 375, 0, {0, 48000, 48000}},          // exactly one second: the end commits again
        {700, 150, 0, {0, 48300, 96600, 105000}},  // blocks that do not divide the rate
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.block);
        TakeTempDir dir;
        RawRecorder live;
        const RecorderTakeConfig config = makeTakeConfig(dir / "t", {1}, 4096, 64);
        RawRecorder prepared = RawRecorder::prepareTake(config);
        ASSERT_TRUE(live.installPrepared(prepared));
        TestSignalSource source(1, 4096);
        for (int b = 0; b <= c.blocks; ++b) {
            const std::uint32_t frames = b < c.blocks ? c.block : c.tail;
            while (live.status().queuedBlocks > 32) {
                std::this_thread::sleep_for(100us);
            }
            if (frames > 0) {
                ASSERT_TRUE(live.pushBlock(source.next(frames), 1, frames));
            }
        }
        live.stopWriter();
        EXPECT_EQ(committedFrames(readJournal(config.directory)), c.commits);
        expectTrackMatchesJournal(config.directory, config, c.commits.back());
    }
}

TEST_F(RawRecorderTake, RefusesBlocksWhileNothingRecords) {
    const auto expectUntouched = [&](const char* when) {
        SCOPED_TRACE(when);
        const RecorderStatus before = live_.status();
        EXPECT_FALSE(live_.pushBlock(source_.next(64), kLanes, 64));
        const RecorderStatus after = live_.status();
        EXPECT_EQ(after.acceptedFrames, before.acceptedFrames);
        EXPECT_EQ(after.incomplete, before.incomplete);
        EXPECT_EQ(after.faultText, before.faultText);
        EXPECT_EQ(after.droppedFrames, before.droppedFrames);
    };
    expectUntouched("before install");
    start({1}, 512, 8);
    ASSERT_EQ(push(1, 64), 1);
    live_.requestStop();
    expectUntouched("after the stop request");
    live_.stopWriter();
    expectUntouched("after the writer stopped");
    EXPECT_EQ(live_.status().state, RecorderState::Complete);
}

TEST_F(RawRecorderTake, InvalidBlocksFaultTheTakeAndStopTheTap) {
    const float lane[512] = {};
    const float* withHole[kLanes] = {lane, lane, nullptr, lane, lane, lane, lane, lane};
    const struct {
        const char* label;
        const float* const* inputs;
        std::uint64_t inputCount;
        std::uint32_t frames;
    } cases[] = {
        {"no frames", nullptr, kLanes, 0},        {"longer than a slot", nullptr, kLanes, 513},
        {"no input array", nullptr, kLanes, 64},  {"too few inputs", nullptr, 2, 64},
        {"absent channel", withHole, kLanes, 64},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TakeTempDir dir;
        RawRecorder live;
        const RecorderTakeConfig config = makeTakeConfig(dir / "t", {1, 2}, 512, 8);
        RawRecorder prepared = RawRecorder::prepareTake(config);
        ASSERT_TRUE(live.installPrepared(prepared));
        TestSignalSource source(kLanes, 4096);
        ASSERT_TRUE(live.pushBlock(source.next(100), kLanes, 100));
        const bool noArray = std::string(c.label) == "no input array";
        const float* const* inputs = c.inputs ? c.inputs : noArray ? nullptr : source.next(64);
        EXPECT_FALSE(live.pushBlock(inputs, c.inputCount, c.frames));
        EXPECT_FALSE(live.pushBlock(source.next(64), kLanes, 64)); // the tap stays closed

        waitForState(live, RecorderState::Failed);
        live.stopWriter();
        const RecorderStatus status = live.status();
        EXPECT_TRUE(status.incomplete);
        EXPECT_EQ(status.faultText,
                  "Invalid raw source block; take incomplete and capture stopped");
        EXPECT_EQ(status.firstDroppedFrame, 100u);
        EXPECT_EQ(status.droppedFrames, c.frames);
        EXPECT_EQ(status.writtenFrames, 100u);
        EXPECT_EQ(readJournal(config.directory).back(), journalFinalized(2, 100, c.frames, 100));
        expectTrackMatchesJournal(config.directory, config, 100);
    }
}

TEST_F(RawRecorderTake, AFullRingRecordsTheFirstDropAndTheWriterDrainsTheRest) {
    live_.holdWriterForTesting(true); // before the writer starts, so it never drains early
    const RecorderTakeConfig config = start({1, 1}, 256, 4);
    EXPECT_EQ(push(4, 256), 4);
    EXPECT_EQ(live_.status().queuedBlocks, 4u);
    EXPECT_FALSE(live_.pushBlock(source_.next(200), kLanes, 200));
    EXPECT_FALSE(live_.pushBlock(source_.next(256), kLanes, 256)); // not counted again

    RecorderStatus status = live_.status();
    EXPECT_EQ(status.faultText, "Recording queue overrun; take incomplete and capture stopped");
    EXPECT_EQ(status.firstDroppedFrame, 1024u);
    EXPECT_EQ(status.droppedFrames, 200u);
    EXPECT_EQ(status.state, RecorderState::Recording); // the take ends when the writer drained

    live_.holdWriterForTesting(false);
    waitForState(live_, RecorderState::Failed);
    live_.stopWriter();
    status = live_.status();
    EXPECT_EQ(status.writtenFrames, 1024u);
    EXPECT_EQ(status.queuedBlocks, 0u);
    EXPECT_TRUE(status.incomplete);
    EXPECT_EQ(readJournal(config.directory).back(), journalFinalized(1, 1024, 200, 1024));
    // The refused blocks are missing from the files: the signal stops after 1024 frames.
    expectTrackMatchesJournal(config.directory, config, 1024);
}

// A ring sized by time, not by 4096-frame blocks: at 128-frame blocks it holds ten seconds, so a
// writer stalled for two (a slow file-system flush) loses nothing, and the blocks queued meanwhile
// are written in batches that still commit on each second's block end.
TEST_F(RawRecorderTake, AWriterStalledForTwoSecondsOfSmallBlocksLosesNothing) {
    const std::uint32_t slots = timeSizedQueueSlots(48000, 128, 4, 0);
    EXPECT_EQ(slots, 3750u);
    EXPECT_DOUBLE_EQ(queueStallToleranceSeconds(48000, 128, slots), 10.0);
    live_.holdWriterForTesting(true);
    const RecorderTakeConfig config = start({1, 2, 1}, 128, slots);
    const int blocks = 2 * 48000 / 128 + 75; // two seconds and a fifth
    EXPECT_EQ(push(blocks, 128), blocks);
    RecorderStatus status = live_.status();
    EXPECT_EQ(status.queuedBlocks, static_cast<std::uint32_t>(blocks));
    EXPECT_FALSE(status.incomplete);
    EXPECT_DOUBLE_EQ(status.stallToleranceSeconds, 10.0);

    live_.holdWriterForTesting(false);
    live_.requestStop();
    waitForState(live_, RecorderState::Complete);
    live_.stopWriter();
    const std::uint64_t frames = blocks * 128ull;
    EXPECT_EQ(live_.status().writtenFrames, frames);
    EXPECT_EQ(committedFrames(readJournal(config.directory)),
              (std::vector<std::uint64_t>{0, 48000, 96000, frames}));
    expectTrackMatchesJournal(config.directory, config, frames);
}

TEST(RawRecorderQueuePlan, SizesTheRingByTimeWithinTheBudget) {
    const struct {
        std::uint32_t rate, block;
        std::uint64_t lanes, retained;
        std::uint32_t slots;
    } cases[] = {
        {48000, 128, 2, 0, 3750},           // ten seconds
        {44100, 128, 2, 0, 3446},           // rounded up, never short of ten seconds
        {48000, 4096, 256, 0, 128},         // the floor: 128 slots, exactly the budget
        {48000, 4096, 256, 4, 127},         // any retained bytes trim it
        {96000, 128, 256, 0, 4096},         // the budget caps it: 5.46 s
        {8000, 1, 1, 0, 65536},             // the ceiling
        {48000, 4096, 256, 536870912, 2},   // no room at all: left to the budget check
        {48000, 128, 200, 0, 3750},         // 200 lanes: 366 MiB
        {48000, 128, 200, 383999999, 1492}, // beside an old queue that was never freed
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.rate << " Hz, " << c.block << " frames, " << c.lanes
                                          << " lanes, " << c.retained << " retained");
        const std::uint32_t slots = timeSizedQueueSlots(c.rate, c.block, c.lanes, c.retained);
        EXPECT_EQ(slots, c.slots);
        if (slots > 2) {
            EXPECT_TRUE(recorderQueueFitsBudget(slots, c.block, c.lanes, c.retained));
        }
    }
}

TEST_F(RawRecorderTake, ReportsTheSmallestBlockAndTheStallTolerance) {
    start({1}, 512, 100);
    RecorderStatus status = live_.status();
    EXPECT_EQ(status.minBlockFrames, 0u);
    EXPECT_EQ(status.stallToleranceSeconds, 0.0);
    EXPECT_DOUBLE_EQ(status.queueSeconds, 512.0 * 100 / 48000);
    push(1, 480);
    EXPECT_EQ(live_.status().minBlockFrames, 480u);
    push(1, 96);
    push(1, 512);
    status = live_.status();
    EXPECT_EQ(status.minBlockFrames, 96u);
    EXPECT_DOUBLE_EQ(status.stallToleranceSeconds, 100.0 * 96 / 48000);
    EXPECT_EQ(status.queueBytes, 100u * 512u * 4u);
    EXPECT_EQ(status.takeDirectory, dir_ / "Take-1");
}

TEST_F(RawRecorderTake, StopRequestsReportTheStateTheyFound) {
    EXPECT_EQ(live_.requestStop(), RecorderState::Idle);
    EXPECT_EQ(live_.status().state, RecorderState::Idle);
    live_.holdWriterForTesting(true);
    start({1}, 512, 8);
    EXPECT_EQ(live_.requestStop(), RecorderState::Recording);
    EXPECT_EQ(live_.requestStop(), RecorderState::Finalizing);
    EXPECT_EQ(live_.status().state, RecorderState::Finalizing);
    live_.holdWriterForTesting(false);
    live_.stopWriter();
    EXPECT_EQ(live_.status().state, RecorderState::Complete);
}

TEST_F(RawRecorderTake, HandsOverOnlyToAClosedRecorder) {
    RawRecorder empty;
    EXPECT_EQ(failureText([&] { (void)live_.installPrepared(empty); }),
              "Invalid prepared recording");
    start({1}, 512, 8);
    EXPECT_EQ(failureText([&] { (void)live_.installPrepared(empty); }),
              "Invalid prepared recording");

    RawRecorder second = RawRecorder::prepareTake(makeTakeConfig(dir_ / "Take-2", {1}));
    const std::string busy = "Finish the previous recording before starting another take";
    EXPECT_EQ(failureText([&] { (void)live_.installPrepared(second); }), busy);
    live_.requestStop();
    waitForState(live_, RecorderState::Complete);
    // Complete, but its writer is still attached until stopWriter joins it.
    EXPECT_EQ(failureText([&] { (void)live_.installPrepared(second); }), busy);
    live_.stopWriter();
    EXPECT_TRUE(live_.installPrepared(second));
    EXPECT_EQ(failureText([&] { (void)live_.installPrepared(second); }),
              "Invalid prepared recording"); // emptied by the hand-over
    EXPECT_EQ(live_.status().takeDirectory, dir_ / "Take-2");
    EXPECT_EQ(push(2, 128), 2);
    live_.stopWriter();
    EXPECT_EQ(live_.status().writtenFrames, 256u);
}

TEST_F(RawRecorderTake, BeginPreparesAndInstallsTakeAfterTake) {
    live_.begin(makeTakeConfig(dir_ / "Take-1", {2}, 512, 8));
    EXPECT_EQ(failureText([&] { live_.begin(makeTakeConfig(dir_ / "Take-2", {2})); }),
              "Recorder is already recording/finalizing; stop deliberately before starting "
              "another take");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "Take-2"));
    EXPECT_EQ(push(3, 100), 3);
    live_.requestStop();
    waitForState(live_, RecorderState::Complete);

    // The finished writer is joined by the next begin, and its ring goes with it: only the
    // bytes the caller says are retained count against the budget.
    RecorderTakeConfig next = makeTakeConfig(dir_ / "Take-2", {1}, 512, 8);
    next.retainedQueueBytes = 536870913;
    EXPECT_EQ(failureText([&] { live_.begin(next); }), "Invalid retained recorder memory reserve");
    next.retainedQueueBytes = 536870912 - 8 * 512 * 4 + 1;
    EXPECT_EQ(failureText([&] { live_.begin(next); }),
              "Combined old/new recorder queues exceed 512 MiB budget");
    EXPECT_EQ(live_.status().queueBytes, 0u);

    next.retainedQueueBytes = 536870912 - 8 * 512 * 4; // fits exactly beside an empty live ring
    live_.begin(next);
    EXPECT_EQ(push(1, 50), 1);
    live_.stopAndDestroy();
    EXPECT_FALSE(live_.pushBlock(source_.next(50), kLanes, 50));
    EXPECT_EQ(readJournal(dir_ / "Take-1").back(), journalFinalized(0, 300, 0, 0));
    EXPECT_EQ(readJournal(dir_ / "Take-2").back(), journalFinalized(0, 50, 0, 0));
}

TEST_F(RawRecorderTake, DestroyingALiveRecorderFinishesItsTake) {
    RecorderTakeConfig config;
    {
        RawRecorder live;
        config = makeTakeConfig(dir_ / "t", {1}, 512, 8);
        live.begin(config);
        ASSERT_TRUE(live.pushBlock(source_.next(300), kLanes, 300));
    }
    EXPECT_EQ(readJournal(config.directory).back(), journalFinalized(0, 300, 0, 0));
}

} // namespace
} // namespace kestravon::ruvi
