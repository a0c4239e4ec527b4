#include "media/playback_config.h"

#include "wav_test_writer.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kestravon::ruvi {
namespace {

using nlohmann::json;

std::string refusalOf(const json& paths) {
    try {
        makePlaybackConfig(paths, 48000);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "accepted";
}

std::string wavFile(const test::TempDir& dir, const std::string& name, std::uint32_t channels,
                    std::uint32_t rate = 44100) {
    test::TestFormat f;
    f.channels = channels;
    f.rate = rate;
    return dir.write(name, test::simpleWav(f, std::vector<double>(channels * 10, 0.1)));
}

TEST(PlaybackConfig, PlansLanesAndCatalogueInRequestOrder) {
    test::TempDir dir;
    const std::string stereo = wavFile(dir, "stereo.wav", 2);
    const std::string mono = wavFile(dir, "mono.wav", 1, 96000);
    const PlaybackConfig config = makePlaybackConfig(json::array({stereo, mono}), 44100);
    EXPECT_EQ(config.sampleRate, 44100u);
    EXPECT_EQ(config.blockFrames, 4096u);
    EXPECT_EQ(config.memoryBudgetBytes, 536870912u);
    EXPECT_EQ(config.laneCount, 3u);
    ASSERT_EQ(config.sources.size(), 3u);
    const std::pair<std::string, std::uint32_t> expected[] = {{stereo, 0}, {stereo, 1}, {mono, 0}};
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(config.sources[i].path, expected[i].first);
        EXPECT_EQ(config.sources[i].sourceChannel, expected[i].second);
        EXPECT_EQ(config.sources[i].lane, i);
        EXPECT_FALSE(config.sources[i].hasExpectedChecksum);
    }
    const json catalogue = json::array({{{"channels", 2},
                                         {"firstLane", 0},
                                         {"id", stereo},
                                         {"name", "stereo.wav"},
                                         {"originalFrames", 10},
                                         {"path", stereo},
                                         {"sampleRate", 44100}},
                                        {{"channels", 1},
                                         {"firstLane", 2},
                                         {"id", mono},
                                         {"name", "mono.wav"},
                                         {"originalFrames", 10},
                                         {"path", mono},
                                         {"sampleRate", 96000}}});
    EXPECT_EQ(config.files, catalogue);
}

TEST(PlaybackConfig, RefusesBadPathListsWithTheirMessages) {
    test::TempDir dir;
    const std::string mono = wavFile(dir, "mono.wav", 1);
    const std::string wide = wavFile(dir, "wide.wav", 100);
    json tooMany = json::array();
    for (int i = 0; i < 129; ++i) {
        tooMany.push_back(mono);
    }
    const std::pair<json, const char*> cases[] = {
        {json::object(), "Choose between 1 and 128 local WAV files"},
        {json::array(), "Choose between 1 and 128 local WAV files"},
        {tooMany, "Choose between 1 and 128 local WAV files"},
        {json::array({mono, mono}), "Duplicate playback file"},
        {json::array({""}), "Invalid local file path"},
        {json::array({"/" + std::string(32700, 'a')}), "Invalid local file path"},
        {json::array({std::string("/tmp/a\0b.wav", 12)}), "Invalid local file path"},
        {json::array({std::string("/tmp/\xC3\x28.wav")}), "Invalid UTF-8 file path"},
        {json::array({std::string("/tmp/\xED\xA0\x80.wav")}), "Invalid UTF-8 file path"},
        {json::array({"relative/file.wav"}), "Choose an absolute local path"},
        {json::array({"\\\\server\\share\\file.wav"}), "Choose an absolute local path"},
        {json::array({dir.file("missing.wav")}),
         "Cannot open playback WAV for metadata inspection"},
        {json::array({wide, dir.write("short.wav", test::Bytes(10, 0))}), "WAV file too short"},
        {json::array({wide, wavFile(dir, "wide2.wav", 29)}),
         "Playback supports at most 128 loaded lanes"},
    };
    for (const auto& [paths, message] : cases) {
        EXPECT_EQ(refusalOf(paths), message) << paths.dump().substr(0, 80);
    }
    EXPECT_EQ(refusalOf(json::array({wide, wavFile(dir, "wide3.wav", 28)})), "accepted");
    EXPECT_THROW(makePlaybackConfig(json::array({1}), 48000), json::type_error);
}

TEST(PlaybackConfig, ProgressAsksCancelFirst) {
    PlaybackConfig config;
    std::vector<std::string> calls;
    bool cancel = false;
    config.cancel = [&] {
        calls.push_back("cancel");
        return cancel;
    };
    config.progress = [&](std::string_view stage, double) { calls.emplace_back(stage); };
    reportPlaybackProgress(config, "decoding", 0.5);
    EXPECT_EQ(calls, (std::vector<std::string>{"cancel", "decoding"}));
    cancel = true;
    EXPECT_THROW(
        {
            try {
                reportPlaybackProgress(config, "decoding", 0.6);
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "File operation cancelled");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_EQ(calls.back(), "cancel");
    reportPlaybackProgress(PlaybackConfig{}, "ready", 1.0); // empty hooks are allowed
}

TEST(PlaybackConfig, FramesFromJsonAreNonnegativeIntegers) {
    EXPECT_EQ(playbackFrameFromJson(json(0)), 0u);
    EXPECT_EQ(playbackFrameFromJson(json(48000)), 48000u);
    EXPECT_EQ(playbackFrameFromJson(json(18446744073709551615ull)), 18446744073709551615ull);
    for (const json& bad : {json(-1), json(1.5), json("10"), json(nullptr), json::array()}) {
        try {
            playbackFrameFromJson(bad);
            ADD_FAILURE() << bad.dump();
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Playback frame must be a nonnegative integer");
        }
    }
}

} // namespace
} // namespace kestravon::ruvi
