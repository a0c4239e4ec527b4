#include "media/playback_bank.h"

#include "wav_test_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace kestravon::ruvi {
namespace {

// Float WAV lanes whose sample n of lane c is c * 1000 + n + 1, so every rendered value names
// its lane and frame exactly (0 stays free for silence).
class PlaybackBankTest : public ::testing::Test {
protected:
    // One mono float file per lane, all at 48000 Hz.
    void loadLanes(const std::vector<std::size_t>& lengths, std::uint32_t blockFrames = 4096) {
        PlaybackConfig config;
        config.blockFrames = blockFrames;
        for (std::uint32_t c = 0; c < lengths.size(); ++c) {
            test::TestFormat f;
            f.tag = 3;
            f.bits = 32;
            std::vector<double> samples(lengths[c]);
            for (std::size_t n = 0; n < samples.size(); ++n) {
                samples[n] = c * 1000.0 + n + 1;
            }
            PlaybackLaneSource s;
            s.path = dir_.write("lane" + std::to_string(c) + ".wav", test::simpleWav(f, samples));
            s.lane = c;
            config.sources.push_back(s);
        }
        bank_.load(config);
    }

    // Renders one block into `channels` lanes, returning them.
    std::vector<std::vector<float>> render(std::uint32_t frames, std::size_t channels = 1) {
        std::vector<std::vector<float>> out(channels, std::vector<float>(4096, -7.0f));
        std::vector<float*> pointers;
        for (auto& c : out) {
            pointers.push_back(c.data());
        }
        bank_.render(pointers.data(), channels, frames);
        for (auto& c : out) {
            c.resize(frames);
        }
        return out;
    }

    static std::vector<float> frames(float first, std::size_t count) {
        std::vector<float> v(count);
        for (std::size_t i = 0; i < count; ++i) {
            v[i] = first + static_cast<float>(i);
        }
        return v;
    }

    static std::vector<float> concat(std::vector<float> a, const std::vector<float>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    PlaybackState state() const { return static_cast<PlaybackState>(bank_.status().state); }

    test::TempDir dir_;
    PlaybackBank bank_;
};

TEST_F(PlaybackBankTest, PlaysToTheEndInPartialBlocksAndRestarts) {
    EXPECT_EQ(state(), PlaybackState::empty);
    EXPECT_FALSE(bank_.play());
    EXPECT_FALSE(bank_.seek(0));
    loadLanes({100});
    EXPECT_EQ(state(), PlaybackState::ready);
    ASSERT_TRUE(bank_.play());
    EXPECT_EQ(state(), PlaybackState::playing);
    EXPECT_EQ(render(64)[0], frames(1, 64));
    EXPECT_EQ(render(64)[0], concat(frames(65, 36), std::vector<float>(28, 0.0f)));
    PlaybackStatus st = bank_.status();
    EXPECT_EQ(st.state, static_cast<std::uint32_t>(PlaybackState::ended));
    EXPECT_EQ(st.frame, 100u);
    EXPECT_EQ(render(64)[0], std::vector<float>(64, 0.0f)); // an ended bank stays silent
    ASSERT_TRUE(bank_.play());
    EXPECT_EQ(render(10)[0], frames(1, 10));
    bank_.stop();
    EXPECT_EQ(state(), PlaybackState::paused);
    EXPECT_EQ(render(10)[0], std::vector<float>(10, 0.0f)); // stopped: silence, position kept
    EXPECT_EQ(bank_.status().frame, 10u);
    ASSERT_TRUE(bank_.play());
    EXPECT_EQ(render(5)[0], frames(11, 5));
}

TEST_F(PlaybackBankTest, LoopWrapsSampleAccurately) {
    loadLanes({100});
    ASSERT_TRUE(bank_.setLoop(true, 10, 20));
    ASSERT_TRUE(bank_.play());
    std::vector<float> expected;
    for (int i = 0; i < 64; ++i) {
        expected.push_back(11.0f + i % 10);
    }
    EXPECT_EQ(render(64)[0], expected);
    EXPECT_EQ(bank_.status().frame, 14u);
    // End 0 means the duration; the wrap then crosses a block boundary exactly.
    ASSERT_TRUE(bank_.setLoop(true, 90, 0));
    EXPECT_EQ(bank_.status().loopEndFrame, 100u);
    EXPECT_EQ(render(16)[0], concat(frames(91, 10), frames(91, 6)));
    ASSERT_TRUE(bank_.setLoop(false, 90, 0));
    EXPECT_EQ(render(8)[0], concat(frames(97, 4), std::vector<float>(4, 0.0f)));
    EXPECT_EQ(state(), PlaybackState::ended);
}

TEST_F(PlaybackBankTest, RefusesInvalidLoopRegions) {
    EXPECT_FALSE(bank_.setLoop(true, 0, 0)); // empty bank
    loadLanes({100});
    const struct {
        std::uint64_t start, end;
        bool ok;
    } cases[] = {{10, 10, false}, {0, 101, false}, {100, 0, false}, {99, 0, true}, {0, 100, true}};
    for (const auto& c : cases) {
        EXPECT_EQ(bank_.setLoop(true, c.start, c.end), c.ok) << c.start << "-" << c.end;
        EXPECT_EQ(bank_.setLoop(false, c.start, c.end), c.ok) << c.start << "-" << c.end;
    }
}

TEST_F(PlaybackBankTest, SeeksApplyAtTheNextBlock) {
    loadLanes({100});
    ASSERT_TRUE(bank_.play());
    EXPECT_EQ(render(4)[0], frames(1, 4));
    ASSERT_TRUE(bank_.seek(50));
    EXPECT_EQ(bank_.status().requestedFrame, 50u);
    EXPECT_EQ(bank_.status().frame, 4u);
    EXPECT_EQ(render(4)[0], frames(51, 4));
    bank_.stop();
    ASSERT_TRUE(bank_.seek(20));
    EXPECT_EQ(render(4)[0], std::vector<float>(4, 0.0f));
    EXPECT_EQ(bank_.status().frame, 20u); // taken while stopped, played from there later
    // Beyond the duration: taken as the end; the next block ends, play restarts from 0.
    ASSERT_TRUE(bank_.seek(1000));
    EXPECT_EQ(bank_.status().requestedFrame, 100u);
    ASSERT_TRUE(bank_.play());
    render(4);
    EXPECT_EQ(state(), PlaybackState::ended);
    ASSERT_TRUE(bank_.play());
    EXPECT_EQ(render(4)[0], frames(1, 4));
}

TEST_F(PlaybackBankTest, ShorterLaneFallsSilentWhileLongerPlaysOn) {
    loadLanes({10, 30});
    const PlaybackStatus st = bank_.status();
    EXPECT_EQ(st.durationFrames, 30u);
    EXPECT_EQ(st.loadedChannels, 2u);
    EXPECT_EQ(st.lanes, (std::vector<std::uint32_t>{0, 1}));
    EXPECT_EQ(st.residentAudioBytes, 160u);
    EXPECT_DOUBLE_EQ(st.durationSeconds, 30.0 / 48000);
    ASSERT_TRUE(bank_.play());
    const auto out = render(20, 2);
    EXPECT_EQ(out[0], concat(frames(1, 10), std::vector<float>(10, 0.0f)));
    EXPECT_EQ(out[1], frames(1001, 20));
}

TEST_F(PlaybackBankTest, MismatchedBlockOrChannelsEnterFaultUntilReload) {
    const struct {
        std::uint32_t frames;
        std::size_t channels;
    } cases[] = {{65, 1}, {16, 0}};
    for (const auto& c : cases) {
        loadLanes({100}, 64);
        ASSERT_TRUE(bank_.play());
        render(c.frames, c.channels);
        const PlaybackStatus st = bank_.status();
        EXPECT_EQ(st.state, static_cast<std::uint32_t>(PlaybackState::fault));
        EXPECT_EQ(st.faultText, "Playback callback destination/block differs from prepared map");
        EXPECT_FALSE(bank_.play());
        EXPECT_EQ(render(16)[0], std::vector<float>(16, 0.0f));
    }
    bank_.render(nullptr, 1, 16);
    EXPECT_EQ(state(), PlaybackState::fault);
    loadLanes({100}, 64);
    EXPECT_EQ(state(), PlaybackState::ready);
    EXPECT_TRUE(bank_.status().faultText.empty());
    EXPECT_TRUE(bank_.play());
}

// Every early exit leaves the reader count; a leak would hang unload and the destructor.
TEST_F(PlaybackBankTest, EarlyExitsNeverBlockUnload) {
    bank_.render(nullptr, 0, 16); // empty bank
    loadLanes({100}, 64);
    render(0);
    render(65); // fault
    bank_.unload();
    EXPECT_EQ(state(), PlaybackState::empty);
    loadLanes({100}, 64);
}

TEST_F(PlaybackBankTest, SilentBankOverwritesThePreviousBlock) {
    std::vector<float> buffer(64, 0.5f);
    float* channels[] = {buffer.data()};
    bank_.render(channels, 1, 64); // empty bank
    EXPECT_EQ(buffer, std::vector<float>(64, 0.0f));
    loadLanes({100});
    std::fill(buffer.begin(), buffer.end(), 0.5f);
    bank_.render(channels, 1, 32); // loaded, stopped
    EXPECT_EQ(std::vector<float>(buffer.begin(), buffer.begin() + 32), std::vector<float>(32, 0));
    EXPECT_EQ(buffer[32], 0.5f); // nothing beyond the requested frames is touched
}

TEST_F(PlaybackBankTest, FailedLoadKeepsTheBankPlaying) {
    loadLanes({100});
    ASSERT_TRUE(bank_.play());
    render(10);
    PlaybackConfig config;
    config.sources.push_back(PlaybackLaneSource{dir_.file("lane0.wav"), 0, 0, 0, false});
    config.cancel = [] { return true; };
    EXPECT_THROW(bank_.load(config), std::runtime_error);
    EXPECT_EQ(state(), PlaybackState::playing);
    EXPECT_EQ(render(4)[0], frames(11, 4));
}

// The lanes a bank holds count against the next load's budget until they are gone.
TEST_F(PlaybackBankTest, ResidentLanesCountAgainstTheNextLoad) {
    loadLanes({1500000}); // 6 MB of floats
    EXPECT_EQ(bank_.status().residentAudioBytes, 6000000u);
    PlaybackConfig config;
    config.memoryBudgetBytes = 16u << 20;
    config.sources.push_back(PlaybackLaneSource{dir_.file("lane0.wav"), 0, 0, 0, false});
    try {
        bank_.load(config);
        FAIL() << "old and new lanes together exceed the budget";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Preloaded playback exceeds configured memory budget (includes "
                               "old/new audio and SRC staging)");
    }
    EXPECT_EQ(bank_.status().durationFrames, 1500000u);
    bank_.unload();
    bank_.load(config);
    EXPECT_EQ(bank_.status().residentAudioBytes, 6000000u);
}

// A control thread reloads and unloads while the audio thread renders without pause: each block
// is wholly from one load (or silence), and neither side ever waits on the other for long.
TEST(PlaybackBankThreading, ReloadWhileRendering) {
    test::TempDir dir;
    test::TestFormat f;
    f.tag = 3;
    f.bits = 32;
    const std::string a = dir.write("a.wav", test::simpleWav(f, std::vector<double>(5000, 0.25)));
    const std::string b = dir.write("b.wav", test::simpleWav(f, std::vector<double>(7000, 0.5)));
    PlaybackBank bank;
    std::atomic<bool> done{false};
    std::atomic<int> mixedBlocks{0}, soundBlocks{0};
    std::thread audio([&] {
        std::vector<float> buffer(128);
        float* channels[] = {buffer.data()};
        while (!done.load()) {
            bank.render(channels, 1, 128);
            const float first = buffer[0];
            for (float v : buffer) {
                if (v != first && v != 0.0f) {
                    mixedBlocks.fetch_add(1);
                    break;
                }
                if (v != 0.0f && v != 0.25f && v != 0.5f) {
                    mixedBlocks.fetch_add(1);
                    break;
                }
            }
            soundBlocks.fetch_add(first != 0.0f);
        }
    });
    // Reload until the audio thread has played a fair share of blocks in between.
    for (int i = 0; i < 60 || soundBlocks.load() < 500; ++i) {
        PlaybackConfig config;
        config.blockFrames = 128;
        config.sources.push_back(PlaybackLaneSource{i % 2 ? b : a, 0, 0, 0, false});
        bank.load(config);
        EXPECT_TRUE(bank.play());
        EXPECT_TRUE(bank.setLoop(true, 0, 0));
        bank.seek(static_cast<std::uint64_t>(i * 37));
        (void)bank.status();
        if (i % 10 == 9) {
            bank.unload();
        }
    }
    done.store(true);
    audio.join();
    EXPECT_EQ(mixedBlocks.load(), 0);
    EXPECT_GE(soundBlocks.load(), 500);
}

} // namespace
} // namespace kestravon::ruvi
