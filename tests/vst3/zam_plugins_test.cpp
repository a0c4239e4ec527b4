// Real plug-ins from Debian's zam-plugins.

#include "vst3/vst3_effect.h"

#include <gtest/gtest.h>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

namespace kestravon::ruvi {
namespace {

namespace fs = std::filesystem;

const std::string kZamFolder = "/usr/lib/vst3";

std::string zam(const std::string& name) {
    return kZamFolder + "/" + name + ".vst3";
}

// ZamVerb and ZamHeadX2 (their convolution engine) leave about 116 KiB of their own allocations
// behind with every instance; the leak checker looks away while one lives (the host's part is
// checked with every other plug-in).
class PluginLeakScope {
public:
    explicit PluginLeakScope(const std::string& path)
        : active_(path.find("/ZamVerb.vst3") != std::string::npos ||
                  path.find("/ZamHeadX2.vst3") != std::string::npos) {
#ifdef __SANITIZE_ADDRESS__
        if (active_) {
            __lsan_disable();
        }
#endif
    }
    ~PluginLeakScope() {
#ifdef __SANITIZE_ADDRESS__
        if (active_) {
            __lsan_enable();
        }
#endif
    }
    PluginLeakScope(const PluginLeakScope&) = delete;
    PluginLeakScope& operator=(const PluginLeakScope&) = delete;

private:
    bool active_;
};

// Runs `blocks` blocks of `frames` through the effect; input is a decaying tone burst.
std::vector<std::vector<float>> run(Vst3Effect& effect, int channels, int frames, int blocks,
                                    float firstSample = 0.0f, bool burst = true) {
    std::vector<std::vector<float>> out(static_cast<std::size_t>(channels));
    std::vector<std::vector<float>> inBlock(static_cast<std::size_t>(channels),
                                            std::vector<float>(frames));
    std::vector<std::vector<float>> outBlock(static_cast<std::size_t>(channels),
                                             std::vector<float>(frames));
    std::vector<const float*> inputs;
    std::vector<float*> outputs;
    for (int c = 0; c < channels; ++c) {
        inputs.push_back(inBlock[c].data());
        outputs.push_back(outBlock[c].data());
    }
    for (int b = 0; b < blocks; ++b) {
        for (int c = 0; c < channels; ++c) {
            for (int k = 0; k < frames; ++k) {
                const int n = b * frames + k;
                inBlock[c][k] = burst ? static_cast<float>(0.8 * std::sin(n * 0.05 * (c + 1)) *
                                                           std::exp(-n / 4000.0))
                                      : (n == 0 ? firstSample : 0.0f);
            }
        }
        EXPECT_TRUE(effect.process(inputs.data(), outputs.data(), frames)) << "block " << b;
        for (int c = 0; c < channels; ++c) {
            out[c].insert(out[c].end(), outBlock[c].begin(), outBlock[c].end());
        }
    }
    return out;
}

bool anyNonZero(const std::vector<std::vector<float>>& channels) {
    for (const auto& channel : channels) {
        for (float sample : channel) {
            if (sample != 0.0f) {
                return true;
            }
        }
    }
    return false;
}

// Everything written to fd 2 while it lives. The pipe's write end does not block, so a plug-in
// that writes more than the pipe holds cannot hang the test; what it holds is enough to see.
class StderrCapture {
public:
    StderrCapture() {
        if (pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2 failed";
            return;
        }
        saved_ = dup(2);
        dup2(fds_[1], 2);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Puts fd 2 back and returns what was written.
    std::string finish() {
        restore();
        std::string text;
        char buffer[4096];
        ssize_t n = 0;
        while (fds_[0] >= 0 && (n = read(fds_[0], buffer, sizeof(buffer))) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

private:
    void restore() {
        if (saved_ >= 0) {
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
            close(fds_[1]);
        }
    }

    int fds_[2] = {-1, -1};
    int saved_ = -1;
};

TEST(ZamPluginsIntegration, ZamCompIsMonoWithAMonoSidechain) {
    Vst3Effect comp;
    std::string error;
    EXPECT_FALSE(comp.open(zam("ZamComp"), 48000.0, 128, 2, error));
    EXPECT_EQ(error, "VST3 effect rejected stereo bus arrangement.");
    ASSERT_TRUE(comp.open(zam("ZamComp"), 48000.0, 128, 1, error, Vst3Effect::kMonoSidechain))
        << error;
    EXPECT_FALSE(comp.parameters().empty());

    std::vector<float> in(128, 0.5f);
    std::vector<float> key(128, 0.9f);
    std::vector<float> out(128);
    const float* inputs[] = {in.data()};
    const float* sidechain[] = {key.data()};
    float* outputs[] = {out.data()};
    for (int block = 0; block < 20; ++block) {
        ASSERT_TRUE(comp.process(inputs, outputs, 128, sidechain));
    }
    ASSERT_TRUE(comp.process(inputs, outputs, 128, nullptr)); // the sidechain bus may go empty
    EXPECT_FALSE(comp.open(zam("ZamComp"), 48000.0, 128, 1, error, Vst3Effect::kStereoSidechain));
    EXPECT_EQ(error, "VST3 effect rejected mono and stereo bus arrangements.");
    EXPECT_TRUE(comp.isOpen());
}

TEST(ZamPluginsIntegration, ZaMaximX2DelaysByItsLatency) {
    Vst3Effect maxim;
    std::string error;
    ASSERT_TRUE(maxim.open(zam("ZaMaximX2"), 48000.0, 128, 2, error)) << error;
    ASSERT_EQ(maxim.latencySamples(), 480);
    const auto out = run(maxim, 2, 128, 8, 0.25f, false);
    for (const auto& channel : out) {
        std::size_t peak = 0;
        for (std::size_t k = 0; k < channel.size(); ++k) {
            if (std::fabs(channel[k]) > std::fabs(channel[peak])) {
                peak = k;
            }
        }
        EXPECT_EQ(peak, 480u);
        EXPECT_GT(std::fabs(channel[peak]), 0.01f);
    }
}

TEST(ZamPluginsIntegration, ZamVerbProducesATail) {
    PluginLeakScope leaks(zam("ZamVerb"));
    Vst3Effect verb;
    std::string error;
    ASSERT_TRUE(verb.open(zam("ZamVerb"), 48000.0, 512, 2, error)) << error;
    const auto out = run(verb, 2, 512, 20, 0.5f, false);
    double tailEnergy = 0;
    for (const auto& channel : out) {
        for (std::size_t k = 2048; k < channel.size(); ++k) {
            tailEnergy += channel[k] * channel[k];
        }
    }
    EXPECT_GT(tailEnergy, 0.0);
}

// The audio thread makes no system call for an insert: a plug-in that reports values back during
// a block has somewhere to put them instead of complaining on stderr.
TEST(ZamPluginsIntegration, ProcessingWritesNothingToStderr) {
    struct Case {
        std::string plugin;
        int channels;
        int sidechain;
    };
    for (const Case& c :
         {Case{"ZamComp", 1, Vst3Effect::kMonoSidechain}, Case{"ZaMaximX2", 2, 0}}) {
        SCOPED_TRACE(c.plugin);
        Vst3Effect effect;
        std::string error;
        ASSERT_TRUE(effect.open(zam(c.plugin), 48000.0, 256, c.channels, error, c.sidechain))
            << error;
        StderrCapture capture;
        run(effect, c.channels, 256, 16);
        for (const auto& info : effect.parameters()) {
            if (!info.readOnly) {
                effect.setParameter(info.id, 1.0 - info.normalized);
            }
        }
        ASSERT_TRUE(effect.process(nullptr, nullptr, 0));
        run(effect, c.channels, 256, 16);
        EXPECT_EQ(capture.finish(), "");
    }
}

// A restored instance with the captured values renders what the original renders.
TEST(ZamPluginsIntegration, RestoredStateReproducesTheOutput) {
    struct Case {
        std::string plugin;
        int channels;
        int sidechain;
    };
    for (const Case& c : {Case{"ZamComp", 1, 1}, Case{"ZaMaximX2", 2, 0}}) {
        SCOPED_TRACE(c.plugin);
        Vst3Effect original;
        std::string error;
        ASSERT_TRUE(original.open(zam(c.plugin), 48000.0, 256, c.channels, error, c.sidechain))
            << error;
        // Move every writable parameter away from its default.
        for (const auto& info : original.parameters()) {
            if (!info.readOnly) {
                original.setParameter(info.id, info.stepCount > 0 ? info.normalized
                                                                  : 0.3 + 0.4 * info.normalized);
            }
        }
        ASSERT_TRUE(original.process(nullptr, nullptr, 0));
        const std::vector<std::uint8_t> blob = original.saveState(error);
        ASSERT_FALSE(blob.empty()) << error;
        const std::vector<Vst3Effect::ParameterInfo> saved = original.parameters();

        Vst3Effect restored;
        ASSERT_TRUE(restored.open(zam(c.plugin), 48000.0, 256, c.channels, error, c.sidechain))
            << error;
        ASSERT_TRUE(restored.restoreState(blob, error)) << error;
        for (const auto& info : saved) {
            if (!info.readOnly) {
                ASSERT_TRUE(restored.setParameter(info.id, info.normalized));
            }
        }
        const auto expected = run(original, c.channels, 256, 16);
        const auto actual = run(restored, c.channels, 256, 16);
        EXPECT_TRUE(anyNonZero(expected));
        EXPECT_EQ(actual, expected);
    }
}

// Every installed bundle opens, processes, saves, restores and closes (run under ASan too).
TEST(ZamPluginsIntegration, SweepOfInstalledBundles) {
    int opened = 0;
    for (const auto& entry : fs::directory_iterator(kZamFolder)) {
        if (entry.path().extension() != ".vst3") {
            continue;
        }
        SCOPED_TRACE(entry.path().string());
        PluginLeakScope leaks(entry.path().string());
        Vst3Effect effect;
        std::string error;
        int channels = 2;
        if (!effect.open(entry.path().string(), 48000.0, 256, 2, error)) {
            channels = 1;
            ASSERT_TRUE(effect.open(entry.path().string(), 48000.0, 256, 1, error)) << error;
        }
        ++opened;
        run(effect, channels, 256, 4);
        for (const auto& info : effect.parameters()) {
            if (!info.readOnly) {
                effect.setParameter(info.id, 1.0 - info.normalized);
            }
        }
        run(effect, channels, 256, 2);
        effect.pollParameterChanges(4096);
        const std::vector<std::uint8_t> blob = effect.saveState(error);
        ASSERT_FALSE(blob.empty()) << error;
        if (entry.path().filename() == "ZamAutoSat.vst3") {
            // It has no writable parameter, saves one zero byte and refuses that very state
            // itself; the refusal must leave the instance as it was.
            EXPECT_FALSE(effect.restoreState(blob, error));
            EXPECT_EQ(error, "VST3 component rejected state.");
        } else {
            ASSERT_TRUE(effect.restoreState(blob, error)) << error;
        }
        ASSERT_TRUE(effect.isOpen());
        run(effect, channels, 256, 2);
    }
    EXPECT_GE(opened, 3);
}

} // namespace
} // namespace kestravon::ruvi
