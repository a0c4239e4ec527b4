#include "media/playback_preload.h"

#include "wav_test_writer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

namespace kestravon::ruvi {
namespace {

using test::Bytes;

std::string refusalOf(const PlaybackConfig& config, std::uint64_t used = 0) {
    try {
        preloadPlayback(config, used);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "accepted";
}

PlaybackLaneSource source(const std::string& path, std::uint32_t channel, std::uint32_t lane) {
    PlaybackLaneSource s;
    s.path = path;
    s.sourceChannel = channel;
    s.lane = lane;
    return s;
}

// A file whose samples count up, so every lane shows where it came from.
std::string rampFile(const test::TempDir& dir, const std::string& name, std::uint32_t channels,
                     std::uint32_t rate, std::size_t frames, std::uint32_t bits = 16) {
    test::TestFormat f;
    f.channels = channels;
    f.rate = rate;
    f.bits = bits;
    std::vector<double> samples(channels * frames);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<double>((i % 2000)) / 4096.0 - 0.25;
    }
    return dir.write(name, test::simpleWav(f, samples));
}

TEST(PlaybackPreload, SameRateKeepsDecodedSamplesExactly) {
    test::TempDir dir;
    const std::string stereo = rampFile(dir, "b-stereo.wav", 2, 48000, 5000, 24);
    const std::string mono = rampFile(dir, "a-mono.wav", 1, 48000, 3000);
    PlaybackConfig config;
    config.sources = {source(stereo, 1, 4), source(stereo, 0, 0), source(mono, 0, 2)};
    std::vector<std::string> stages;
    config.progress = [&](std::string_view stage, double) {
        if (stages.empty() || stages.back() != stage) {
            stages.emplace_back(stage);
        }
    };
    const PreloadResult result = preloadPlayback(config, 0);
    EXPECT_EQ(stages, (std::vector<std::string>{"inspecting", "decoding", "ready"}));
    EXPECT_EQ(result.sampleRate, 48000u);
    EXPECT_EQ(result.blockFrames, 4096u);
    EXPECT_EQ(result.loadedChannels, 5u);
    EXPECT_EQ(result.durationFrames, 5000u);
    EXPECT_EQ(result.residentAudioBytes, (5000u * 2 + 3000u) * 4);
    // Files in path order, each file's sources in request order.
    ASSERT_EQ(result.lanes.size(), 3u);
    EXPECT_EQ(result.lanes[0].lane, 2u);
    EXPECT_EQ(result.lanes[1].lane, 4u);
    EXPECT_EQ(result.lanes[2].lane, 0u);
    for (std::size_t i = 0; i < 5000; ++i) {
        const float left = static_cast<float>((2 * i) % 2000 / 4096.0 - 0.25);
        const float right = static_cast<float>((2 * i + 1) % 2000 / 4096.0 - 0.25);
        ASSERT_EQ(result.lanes[2].samples[i], left) << i;
        ASSERT_EQ(result.lanes[1].samples[i], right) << i;
    }
    EXPECT_EQ(result.lanes[0].samples[2999], static_cast<float>(999 / 4096.0 - 0.25));
}

TEST(PlaybackPreload, ConvertsToTheSessionRate) {
    test::TempDir dir;
    struct Case {
        std::uint32_t fileRate, sessionRate;
        std::size_t frames, expected;
    } cases[] = {
        {44100, 48000, 44100, 48000},
        {192000, 8000, 1, 1},
        {96000, 48000, 1001, 501}, // 500.5 rounds half up
    };
    for (const auto& c : cases) {
        const std::string path = rampFile(dir, "f.wav", 1, c.fileRate, c.frames);
        PlaybackConfig config;
        config.sampleRate = c.sessionRate;
        config.sources = {source(path, 0, 0)};
        const PreloadResult result = preloadPlayback(config, 0);
        EXPECT_EQ(result.durationFrames, c.expected) << c.fileRate;
        EXPECT_EQ(result.residentAudioBytes, c.expected * 4);
        EXPECT_EQ(result.sampleRate, c.sessionRate);
    }
}

TEST(PlaybackPreload, BudgetEdgeAtSixteenMebibytes) {
    test::TempDir dir;
    PlaybackConfig config;
    config.memoryBudgetBytes = 16u << 20;
    // 8 MiB of decoded floats fits beside the 8 MiB staging reserve; one frame more does not.
    config.sources = {source(rampFile(dir, "fits.wav", 1, 48000, 2097152), 0, 0)};
    EXPECT_EQ(refusalOf(config), "accepted");
    const char* budget = "Preloaded playback exceeds configured memory budget (includes "
                         "old/new audio and SRC staging)";
    config.sources = {source(rampFile(dir, "over.wav", 1, 48000, 2097153), 0, 0)};
    EXPECT_EQ(refusalOf(config), budget);
    // What the bank already holds counts too.
    config.sources = {source(rampFile(dir, "small.wav", 1, 48000, 1000), 0, 0)};
    EXPECT_EQ(refusalOf(config, (8u << 20) + 1), budget);
    EXPECT_EQ(refusalOf(config, (8u << 20) - 4000), "accepted");
    EXPECT_EQ(refusalOf(config, (8u << 20) - 3999), budget);
    // The converted copy is charged while the decoded one is still held.
    config.sampleRate = 96000;
    config.sources = {source(rampFile(dir, "up.wav", 1, 48000, 1000000), 0, 0)};
    EXPECT_EQ(refusalOf(config), budget);
}

TEST(PlaybackPreload, RefusesBadConfigurationsAndFiles) {
    test::TempDir dir;
    const std::string stereo = rampFile(dir, "stereo.wav", 2, 48000, 100);
    const auto with = [&](auto change) {
        PlaybackConfig c;
        c.sources = {source(stereo, 0, 0)};
        change(c);
        return c;
    };
    std::vector<PlaybackLaneSource> tooMany;
    for (std::uint32_t i = 0; i < 129; ++i) {
        tooMany.push_back(source(stereo, 0, i));
    }
    const std::string truncated = dir.write("cut.wav", [&] {
        std::ifstream in(stereo, std::ios::binary);
        Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        b.resize(b.size() - 2);
        return b;
    }());
    const std::pair<PlaybackConfig, const char*> cases[] = {
        {with([](auto& c) { c.sampleRate = 7999; }), "Invalid bounded playback configuration"},
        {with([](auto& c) { c.sampleRate = 192001; }), "Invalid bounded playback configuration"},
        {with([](auto& c) { c.blockFrames = 0; }), "Invalid bounded playback configuration"},
        {with([](auto& c) { c.blockFrames = 4097; }), "Invalid bounded playback configuration"},
        {with([](auto& c) { c.memoryBudgetBytes = (16u << 20) - 1; }),
         "Invalid bounded playback configuration"},
        {with([](auto& c) { c.memoryBudgetBytes = (512u << 20) + 1; }),
         "Invalid bounded playback configuration"},
        {with([](auto& c) { c.sources.clear(); }), "Invalid bounded playback configuration"},
        {with([&](auto& c) { c.sources = tooMany; }), "Invalid bounded playback configuration"},
        {with([&](auto& c) { c.sources.push_back(source(stereo, 1, 0)); }),
         "Invalid/duplicated playback lane map"},
        {with([&](auto& c) { c.sources[0].lane = 128; }), "Invalid/duplicated playback lane map"},
        {with([&](auto& c) { c.sources[0].sourceChannel = 128; }),
         "Invalid/duplicated playback lane map"},
        {with([&](auto& c) { c.sources[0].path.clear(); }), "Invalid/duplicated playback lane map"},
        {with([&](auto& c) { c.sources[0].path = "/" + std::string(4096, 'a'); }),
         "Invalid/duplicated playback lane map"},
        {with([&](auto& c) { c.sources[0].path = dir.file("none.wav"); }),
         "Cannot open selected playback WAV"},
        {with([&](auto& c) { c.sources[0].sourceChannel = 2; }),
         "Playback source channel absent from selected WAV"},
        {with([&](auto& c) { c.sources[0].path = truncated; }),
         "RIFF size does not match complete file"},
    };
    for (const auto& [config, message] : cases) {
        EXPECT_EQ(refusalOf(config), message);
    }
}

TEST(PlaybackPreload, ChecksPayloadChecksums) {
    test::TempDir dir;
    const std::string path = rampFile(dir, "stereo.wav", 2, 48000, 40000);
    std::ifstream in(path, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::uint64_t good = playbackFnv1a64(file.data() + 44, file.size() - 44);
    EXPECT_EQ(playbackFnv1a64("a", 1), 0xaf63dc4c8601ec8cull); // published FNV-1a 64 vector

    PlaybackConfig config;
    config.sources = {source(path, 0, 0), source(path, 1, 1)};
    config.sources[0].hasExpectedChecksum = true;
    config.sources[0].expectedChecksum = good;
    EXPECT_EQ(refusalOf(config), "accepted");
    config.sources[1].hasExpectedChecksum = true;
    config.sources[1].expectedChecksum = good + 1;
    EXPECT_EQ(refusalOf(config), "Conflicting playback payload checksums");
    config.sources[1].expectedChecksum = good;
    EXPECT_EQ(refusalOf(config), "accepted");
    config.sources[0].expectedChecksum = config.sources[1].expectedChecksum = good ^ 1;
    EXPECT_EQ(refusalOf(config), "Playback WAV payload differs from committed audio checksum");
}

TEST(PlaybackPreload, CancelAndChangeDuringDecoding) {
    test::TempDir dir;
    const std::string path = rampFile(dir, "long.wav", 2, 44100, 200000);
    PlaybackConfig config;
    config.sources = {source(path, 0, 0), source(path, 1, 1)};
    int decodingReports = 0;
    config.progress = [&](std::string_view stage, double) {
        decodingReports += stage == "decoding";
    };
    config.cancel = [&] { return decodingReports == 3; };
    EXPECT_EQ(refusalOf(config), "File operation cancelled");
    EXPECT_EQ(decodingReports, 3);

    // Cancelling while converting: the first "resampling" report.
    bool converting = false;
    config.progress = [&](std::string_view stage, double) { converting |= stage == "resampling"; };
    config.cancel = [&] { return converting; };
    EXPECT_EQ(refusalOf(config), "File operation cancelled");
    EXPECT_TRUE(converting);

    // The file grows behind the reader's back.
    config.cancel = nullptr;
    bool appended = false;
    config.progress = [&](std::string_view stage, double) {
        if (stage == "decoding" && !appended) {
            std::ofstream(path, std::ios::binary | std::ios::app) << "junk";
            appended = true;
        }
    };
    EXPECT_EQ(refusalOf(config), "Playback WAV changed during load");
}

} // namespace
} // namespace kestravon::ruvi
