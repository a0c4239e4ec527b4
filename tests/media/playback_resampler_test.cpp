#include "media/playback_resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>

namespace kestravon::ruvi {
namespace {

constexpr double kPi = std::numbers::pi;

PlaybackConfig sessionAt(std::uint32_t rate) {
    PlaybackConfig config;
    config.sampleRate = rate;
    return config;
}

PlaybackSamples tone(double hz, double rate, std::size_t frames, double amplitude) {
    PlaybackSamples s(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        s[i] = static_cast<float>(amplitude * std::sin(2 * kPi * hz * i / rate));
    }
    return s;
}

// The interpolator written out term by term, as the reference for the fast paths.
double directSample(const PlaybackSamples& in, std::uint64_t i, double ratio) {
    const double a = 0.94 * std::min(1.0, 1.0 / ratio);
    const double t = static_cast<double>(i) * ratio;
    const auto base = static_cast<std::int64_t>(std::floor(t));
    double sum = 0, weighted = 0;
    for (std::int64_t k = base - 31; k <= base + 32; ++k) {
        const double d = t - static_cast<double>(k);
        const double sinc = std::abs(a * d) < 1e-12 ? 1.0 : std::sin(kPi * a * d) / (kPi * a * d);
        const double window =
            0.42 + 0.5 * std::cos(kPi * d / 32) + 0.08 * std::cos(2 * kPi * d / 32);
        const double c = window * sinc * a;
        const std::int64_t index = std::clamp<std::int64_t>(k, 0, in.size() - 1);
        sum += c;
        weighted += c * in[index];
    }
    return weighted / sum;
}

struct ToneFit {
    double amplitude;
    double thdPlusNoiseDb; // residual after removing the fitted tone, relative to the tone
};

// Least-squares fit of a sine and cosine at `hz` over [from, to).
ToneFit fitTone(const PlaybackSamples& s, double hz, double rate, std::size_t from,
                std::size_t to) {
    double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
    for (std::size_t i = from; i < to; ++i) {
        const double w = 2 * kPi * hz * i / rate;
        const double sn = std::sin(w), cs = std::cos(w);
        ss += sn * sn;
        sc += sn * cs;
        cc += cs * cs;
        ys += s[i] * sn;
        yc += s[i] * cs;
    }
    const double det = ss * cc - sc * sc;
    const double A = (ys * cc - yc * sc) / det, B = (yc * ss - ys * sc) / det;
    double residual = 0, signal = 0;
    for (std::size_t i = from; i < to; ++i) {
        const double w = 2 * kPi * hz * i / rate;
        const double fitted = A * std::sin(w) + B * std::cos(w);
        residual += (s[i] - fitted) * (s[i] - fitted);
        signal += fitted * fitted;
    }
    return {std::hypot(A, B), 10 * std::log10(residual / signal)};
}

TEST(PlaybackResampler, ToneKeepsFrequencyLevelAndPurityFrom44100To48000) {
    const double amplitude = 0.5;
    const auto out = resamplePlaybackLane({tone(1000, 44100, 44100, amplitude)}, 48000,
                                          44100.0 / 48000.0, sessionAt(48000));
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].size(), 48000u);
    // Away from the repeated edge samples, the output is a clean 1 kHz tone at 48 kHz.
    const ToneFit fit = fitTone(out[0], 1000, 48000, 200, 47800);
    const double levelDb = 20 * std::log10(fit.amplitude / amplitude);
    // A tone 0.05 Hz off would leave a residual far above this floor over 0.99 s.
    const ToneFit offFit = fitTone(out[0], 1000.05, 48000, 200, 47800);
    RecordProperty("levelDb", std::to_string(levelDb));
    RecordProperty("thdPlusNoiseDb", std::to_string(fit.thdPlusNoiseDb));
    std::printf("1 kHz 44100->48000: level %.5f dB, THD+N %.1f dB (0.05 Hz off: %.1f dB)\n",
                levelDb, fit.thdPlusNoiseDb, offFit.thdPlusNoiseDb);
    EXPECT_NEAR(levelDb, 0.0, 0.01);
    EXPECT_LT(fit.thdPlusNoiseDb, -90.0);
    EXPECT_GT(offFit.thdPlusNoiseDb, fit.thdPlusNoiseDb + 20);
}

TEST(PlaybackResampler, RejectsAliasesFrom96000To48000) {
    // Tones above the 24 kHz output Nyquist fold back; from 28 kHz up they would land in the
    // audible band below 20 kHz. 26 kHz sits in the filter's transition band (reported only).
    for (double hz : {26000.0, 28000.0, 30000.0, 40000.0}) {
        const auto out =
            resamplePlaybackLane({tone(hz, 96000, 96000, 0.5)}, 48000, 2.0, sessionAt(48000));
        double energy = 0;
        for (std::size_t i = 200; i < 47800; ++i) {
            energy += static_cast<double>(out[0][i]) * out[0][i];
        }
        const double rms = std::sqrt(energy / (47800 - 200));
        const double rejectionDb = 20 * std::log10(rms / (0.5 / std::sqrt(2.0)));
        RecordProperty("aliasRejectionDb" + std::to_string(static_cast<int>(hz)),
                       std::to_string(rejectionDb));
        std::printf("%.0f Hz 96000->48000: alias level %.1f dB\n", hz, rejectionDb);
        if (hz >= 28000) {
            EXPECT_LT(rejectionDb, -70.0) << hz;
        }
    }
    // A 10 kHz tone passes at full level.
    const auto pass =
        resamplePlaybackLane({tone(10000, 96000, 96000, 0.5)}, 48000, 2.0, sessionAt(48000));
    EXPECT_NEAR(fitTone(pass[0], 10000, 48000, 200, 47800).amplitude, 0.5, 0.001);
}

TEST(PlaybackResampler, FastPathsStayWithin1e9OfTheDirectFormula) {
    struct Case {
        std::uint32_t source, session;
        std::size_t inputFrames;
    } cases[] = {
        {44100, 48000, 3000}, {48000, 44100, 3000}, {96000, 48000, 3000},
        {8000, 44100, 600},   {44056, 48000, 3000}, // 6000 phases: still a table
        {44101, 48000, 3000},                       // 48000 phases: evaluated per frame
        {22050, 48000, 20},                         // every tap near an edge
    };
    std::mt19937 random(7);
    std::uniform_real_distribution<float> uniform(-1, 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.source) + " -> " + std::to_string(c.session));
        PlaybackSamples left(c.inputFrames), right(c.inputFrames);
        for (std::size_t i = 0; i < c.inputFrames; ++i) {
            left[i] = uniform(random);
            right[i] = uniform(random);
        }
        const double ratio = static_cast<double>(c.source) / c.session;
        const std::uint64_t frames = static_cast<std::uint64_t>(c.inputFrames / ratio);
        const auto out = resamplePlaybackLane({left, right}, frames, ratio, sessionAt(c.session));
        double worst = 0;
        for (std::uint64_t i = 0; i < frames; ++i) {
            for (int ch = 0; ch < 2; ++ch) {
                const double reference = directSample(ch ? right : left, i, ratio);
                // What remains after the float store's own half-ulp rounding.
                const double rounding = std::abs(reference) * std::ldexp(1.0, -24);
                worst = std::max(worst, std::abs(out[ch][i] - reference) - rounding);
            }
        }
        EXPECT_LE(worst, 1e-9);
    }
}

TEST(PlaybackResampler, CancelStopsConversionAndProgressRises) {
    PlaybackConfig config = sessionAt(48000);
    std::vector<double> fractions;
    config.progress = [&](std::string_view stage, double f) {
        EXPECT_EQ(stage, "resampling");
        fractions.push_back(f);
    };
    const PlaybackSamples input = tone(440, 44100, 44100, 0.5);
    resamplePlaybackLane({input}, 48000, 44100.0 / 48000.0, config);
    ASSERT_EQ(fractions.size(), 47u); // every 1024 output frames
    EXPECT_EQ(fractions.front(), 0.0);
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));

    int asked = 0;
    config.cancel = [&] { return ++asked == 5; };
    try {
        resamplePlaybackLane({input}, 48000, 44100.0 / 48000.0, config);
        FAIL() << "not cancelled";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "File operation cancelled");
    }
    EXPECT_EQ(asked, 5);
}

TEST(PlaybackResampler, RefusesBadKernelsAndOverflow) {
    const auto message = [](const std::vector<PlaybackSamples>& in, double ratio) -> std::string {
        try {
            resamplePlaybackLane(in, 64, ratio, sessionAt(48000));
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "ok";
    };
    const PlaybackSamples some(64, 0.5f);
    EXPECT_EQ(message({some}, std::nan("")), "Invalid playback SRC kernel");
    EXPECT_EQ(message({some}, -1.0), "Invalid playback SRC kernel");
    EXPECT_EQ(message({some, PlaybackSamples(63, 0.0f)}, 0.5), "Invalid playback SRC kernel");
    // A full-scale step rings above the float range when the lane already sits at its limit.
    PlaybackSamples step(64);
    for (std::size_t i = 0; i < step.size(); ++i) {
        step[i] = i < 32 ? -3.4e38f : 3.4e38f;
    }
    EXPECT_EQ(message({step}, 0.5), "Playback SRC overflow");
}

} // namespace
} // namespace kestravon::ruvi
