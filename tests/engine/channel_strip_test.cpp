#include "engine/channel_strip.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

using Buffer = std::vector<std::vector<float>>;

double dbToLinear(double db) {
    return std::pow(10.0, db / 20.0);
}
double linearToDb(double v) {
    return 20.0 * std::log10(v);
}

// Runs the whole buffer through the strip in blocks of `block` frames.
void run(ChannelStrip& strip, Buffer& buffer, int block = 256) {
    const int frames = static_cast<int>(buffer[0].size());
    const int channels = static_cast<int>(buffer.size());
    for (int start = 0; start < frames; start += block) {
        float* pointers[2] = {nullptr, nullptr};
        for (int c = 0; c < channels; ++c) {
            pointers[c] = buffer[c].data() + start;
        }
        strip.process(pointers, channels, std::min(block, frames - start));
    }
}

Buffer constant(int channels, int frames, float value) {
    return Buffer(channels, std::vector<float>(frames, value));
}

Buffer sine(int channels, int frames, double frequency, double rate, double amplitude) {
    Buffer b(channels, std::vector<float>(frames));
    for (int i = 0; i < frames; ++i) {
        const auto v =
            static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * frequency * i / rate));
        for (auto& ch : b) {
            ch[i] = v;
        }
    }
    return b;
}

ChannelStrip preparedStrip(const StripProcessing& settings, double rate, int channels) {
    ChannelStrip strip;
    EXPECT_TRUE(strip.setProcessing(settings));
    EXPECT_TRUE(strip.prepare(rate, channels));
    return strip;
}

// --- Reference: the cookbook filters evaluated on the unit circle, independently of the strip.

struct Biquad {
    double b0 = 1, b1 = 0, b2 = 0, a0 = 1, a1 = 0, a2 = 0;
    double magnitude(double frequency, double rate) const {
        const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * frequency / rate);
        const auto z2 = z1 * z1;
        return std::abs((b0 + b1 * z1 + b2 * z2) / (a0 + a1 * z1 + a2 * z2));
    }
};

Biquad referenceHighPass(double f, double rate) {
    const double w = 2 * std::numbers::pi * std::min(f, 0.45 * rate) / rate;
    const double c = std::cos(w), alpha = std::sin(w) / (2 * (1 / std::sqrt(2.0)));
    return {(1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alpha, -2 * c, 1 - alpha};
}

Biquad referenceBand(const EqBand& band, double rate) {
    const double w = 2 * std::numbers::pi * std::min(band.frequencyHz, 0.45 * rate) / rate;
    const double c = std::cos(w), alpha = std::sin(w) / (2 * band.q);
    const double A = std::pow(10.0, band.gainDb / 40), r = 2 * std::sqrt(A) * alpha;
    switch (band.type) {
    case kEqLowShelf:
        return {A * ((A + 1) - (A - 1) * c + r), 2 * A * ((A - 1) - (A + 1) * c),
                A * ((A + 1) - (A - 1) * c - r), (A + 1) + (A - 1) * c + r,
                -2 * ((A - 1) + (A + 1) * c),    (A + 1) + (A - 1) * c - r};
    case kEqHighShelf:
        return {A * ((A + 1) + (A - 1) * c + r), -2 * A * ((A - 1) + (A + 1) * c),
                A * ((A + 1) + (A - 1) * c - r), (A + 1) - (A - 1) * c + r,
                2 * ((A - 1) - (A + 1) * c),     (A + 1) - (A - 1) * c - r};
    default:
        return {1 + alpha * A, -2 * c, 1 - alpha * A, 1 + alpha / A, -2 * c, 1 - alpha / A};
    }
}

double referenceDb(const StripProcessing& s, double frequency, double rate) {
    double gain = 1.0;
    if (s.hpf.enabled) {
        gain *= referenceHighPass(s.hpf.frequencyHz, rate).magnitude(frequency, rate);
    }
    for (const EqBand& band : s.eq.bands) {
        if (s.eq.enabled && band.enabled && band.gainDb != 0.0) {
            gain *= referenceBand(band, rate).magnitude(frequency, rate);
        }
    }
    return linearToDb(gain);
}

// Gain of the strip at one frequency: a settled sine probe, measured by correlation over a
// whole number of cycles.
double measuredDb(const StripProcessing& s, double frequency, int rate) {
    ChannelStrip strip = preparedStrip(s, rate, 1);
    const int settle = rate / 4;
    Buffer b = sine(1, settle + rate, frequency, rate, 0.25);
    const Buffer input = b;
    run(strip, b, 480);
    std::complex<double> in, out;
    for (int i = settle; i < settle + rate; ++i) {
        const auto phasor = std::polar(1.0, -2.0 * std::numbers::pi * frequency * i / rate);
        in += static_cast<double>(input[0][i]) * phasor;
        out += static_cast<double>(b[0][i]) * phasor;
    }
    return linearToDb(std::abs(out) / std::abs(in));
}

StripProcessing withHpf(double f) {
    StripProcessing s;
    s.hpf = {true, f};
    return s;
}

StripProcessing withBand(int index, EqBand band) {
    StripProcessing s;
    s.eq.enabled = true;
    s.eq.bands[index] = band;
    return s;
}

TEST(ChannelStripResponse, MatchesTheCookbookFiltersAtSineProbes) {
    StripProcessing everything = withHpf(60);
    everything.eq.enabled = true;
    everything.eq.bands = {{{true, kEqLowShelf, 120, 4, 0.8},
                            {true, kEqBell, 400, -6, 2},
                            {true, kEqBell, 3000, 5, 1},
                            {true, kEqHighShelf, 9000, -3, 0.7071067811865476}}};
    struct Anchor {
        double frequency;
        double db; // known exactly from the filter type, not from the design formulas
    };
    struct Case {
        const char* what;
        StripProcessing settings;
        int rate;
        std::vector<double> probes;
        std::vector<Anchor> anchors;
    };
    const Case cases[] = {
        {"hpf 80", withHpf(80), 48000, {20, 40, 160, 1000}, {{80, -10 * std::log10(2.0)}}},
        {"hpf 2000", withHpf(2000), 48000, {500, 1000, 8000}, {{2000, -10 * std::log10(2.0)}}},
        {"bell +12",
         withBand(1, {true, kEqBell, 1000, 12, 1.41}),
         48000,
         {250, 707, 1414, 4000},
         {{1000, 12}}},
        {"narrow bell -24",
         withBand(2, {true, kEqBell, 2500, -24, 18}),
         48000,
         {2400, 2600},
         {{2500, -24}}},
        {"low shelf +9",
         withBand(0, {true, kEqLowShelf, 200, 9, 0.7071}),
         48000,
         {20, 100, 400, 5000},
         {{200, 4.5}}},
        {"high shelf -12",
         withBand(3, {true, kEqHighShelf, 6000, -12, 2}),
         48000,
         {1000, 4000, 12000},
         {{6000, -6}}},
        // Designed at 0.45 x 8000 = 3600 Hz, where a bell has exactly its gain.
        {"bell above the design limit",
         withBand(2, {true, kEqBell, 5000, 12, 2}),
         8000,
         {1000, 3000},
         {{3600, 12}}},
        {"whole chain", everything, 48000, {30, 60, 120, 400, 1000, 3000, 9000, 15000}, {}},
    };
    for (const Case& c : cases) {
        for (double f : c.probes) {
            EXPECT_NEAR(measuredDb(c.settings, f, c.rate), referenceDb(c.settings, f, c.rate), 0.02)
                << c.what << " at " << f << " Hz";
        }
        for (const Anchor& a : c.anchors) {
            EXPECT_NEAR(measuredDb(c.settings, a.frequency, c.rate), a.db, 0.02)
                << c.what << " anchor at " << a.frequency << " Hz";
            EXPECT_NEAR(referenceDb(c.settings, a.frequency, c.rate), a.db, 1e-9) << c.what;
        }
    }
}

TEST(ChannelStripResponse, InactiveSettingsLeaveTheSignalBitExact) {
    StripProcessing zeroBands;
    zeroBands.eq.enabled = true;
    zeroBands.eq.bands = {{{true, kEqHighShelf, 20, 0, 0.1},
                           {true, kEqLowShelf, 20000, 0, 18},
                           {true, kEqBell, 1000, 0, 5},
                           {true, kEqBell, 100, 0, 0.3}}};
    StripProcessing eqOff = withBand(1, {true, kEqBell, 1000, 12, 1});
    eqOff.eq.enabled = false;
    StripProcessing bandOff = withBand(1, {false, kEqBell, 1000, 12, 1});
    StripProcessing configuredButOff;
    configuredButOff.compressor.makeupDb = 12;
    configuredButOff.gate.thresholdDb = 0;

    for (const StripProcessing& s :
         {StripProcessing{}, zeroBands, eqOff, bandOff, configuredButOff}) {
        ChannelStrip strip = preparedStrip(s, 48000, 2);
        Buffer b = sine(2, 4800, 997, 48000, 0.5);
        b[1][10] = -0.75f;
        const Buffer input = b;
        run(strip, b);
        EXPECT_EQ(b, input);
        const StripMeters m = strip.readMeters();
        EXPECT_EQ(m.gateReductionDb, 0.0f);
        EXPECT_EQ(m.compressorReductionDb, 0.0f);
    }
}

// --- Dynamics, on DC so the detector sees a constant magnitude.

StripProcessing gate(double threshold, double ratio, double range, double holdMs) {
    StripProcessing s;
    s.gate = {true, threshold, ratio, range, 0.0, 1.0, holdMs, 10.0};
    return s;
}

StripProcessing compressor(double threshold, double ratio, double makeup) {
    StripProcessing s;
    s.compressor = {true, threshold, ratio, 0.0, 1.0, 10.0, makeup};
    return s;
}

TEST(ChannelStripDynamics, SteadyStateReductions) {
    struct Case {
        const char* what;
        StripProcessing settings;
        double inputDb;
        double gateDb;
        double compressorDb;
        double outputDb;
    };
    const Case cases[] = {
        {"gate 10 below", gate(-40, 2, 60, 0), -50, 10, 0, -60},
        {"gate at range", gate(-40, 2, 60, 0), -110, 60, 0, -170},
        {"gate open above", gate(-40, 2, 60, 0), -30, 0, 0, -30},
        {"gate steep ratio", gate(-40, 4, 90, 0), -45, 15, 0, -60},
        {"compressor 12 over", compressor(-20, 4, 0), -8, 0, 9, -17},
        {"compressor with makeup", compressor(-20, 4, 6), -8, 0, 9, -11},
        {"compressor below", compressor(-20, 4, 0), -30, 0, 0, -30},
    };
    for (const Case& c : cases) {
        ChannelStrip strip = preparedStrip(c.settings, 48000, 1);
        Buffer b = constant(1, 48000, static_cast<float>(dbToLinear(c.inputDb)));
        run(strip, b);
        const StripMeters m = strip.readMeters();
        EXPECT_NEAR(m.gateReductionDb, c.gateDb, 0.01) << c.what;
        EXPECT_NEAR(m.compressorReductionDb, c.compressorDb, 0.01) << c.what;
        EXPECT_NEAR(linearToDb(b[0].back()), c.outputDb, 0.01) << c.what;
        EXPECT_NEAR(linearToDb(m.inputPeak), c.inputDb, 0.001) << c.what;
        EXPECT_NEAR(linearToDb(m.outputPeak), c.outputDb, 0.01) << c.what;
    }
}

TEST(ChannelStripDynamics, StereoChannelsShareOneDetector) {
    ChannelStrip strip = preparedStrip(compressor(-20, 4, 0), 48000, 2);
    Buffer b = constant(2, 48000, static_cast<float>(dbToLinear(-8)));
    std::fill(b[1].begin(), b[1].end(), static_cast<float>(dbToLinear(-40)));
    run(strip, b);
    EXPECT_NEAR(linearToDb(b[0].back()), -17, 0.01);
    EXPECT_NEAR(linearToDb(b[1].back()), -49, 0.01);
}

TEST(ChannelStripDynamics, GateHoldsOpenBeforeReleasing) {
    const double rate = 48000;
    ChannelStrip strip = preparedStrip(gate(-40, 2, 60, 30), rate, 1);
    Buffer loud = constant(1, 9600, static_cast<float>(dbToLinear(-20)));
    run(strip, loud);
    EXPECT_EQ(strip.readMeters().gateReductionDb, 0.0f);

    const float quiet = static_cast<float>(dbToLinear(-60));
    Buffer b = constant(1, 4800, quiet);
    run(strip, b, 48);
    const int hold = 30 * 48; // 30 ms at 48 kHz
    for (int i = 0; i < hold; ++i) {
        ASSERT_EQ(b[0][i], quiet) << "closed during hold at sample " << i;
    }
    EXPECT_LT(b[0][hold], quiet);
    EXPECT_LT(b[0].back(), quiet * dbToLinear(-19));
}

TEST(ChannelStripDynamics, DisablingTheCompressorFadesMakeupOverFiveMilliseconds) {
    // Threshold 0 dB keeps a -20 dB tone uncompressed, so only the makeup shows.
    ChannelStrip strip = preparedStrip(compressor(0, 4, 12), 48000, 1);
    const float level = static_cast<float>(dbToLinear(-20));
    Buffer before = constant(1, 4800, level);
    run(strip, before);
    EXPECT_NEAR(linearToDb(before[0].back() / level), 12, 1e-4);

    StripProcessing off = strip.accepted();
    off.compressor.enabled = false;
    ASSERT_TRUE(strip.setProcessing(off));
    Buffer after = constant(1, 48000, level);
    run(strip, after);
    // The on/off mix glides as e^(-n / 240) at 48 kHz: one time constant after 240 samples.
    EXPECT_NEAR(linearToDb(after[0][239] / level), 12 / std::numbers::e, 0.05);
    EXPECT_NEAR(linearToDb(after[0][2399] / level), 12 * std::exp(-10.0), 0.01);
    EXPECT_EQ(after[0].back(), level);
    EXPECT_EQ(strip.readMeters().compressorReductionDb, 0.0f);
}

// --- Changes glide.

double largestStep(const std::vector<float>& v, std::size_t from, std::size_t to) {
    double step = 0;
    for (std::size_t i = std::max<std::size_t>(from, 1); i < to; ++i) {
        step = std::max(step, std::abs(static_cast<double>(v[i]) - v[i - 1]));
    }
    return step;
}

TEST(ChannelStripGlide, EnablingASectionDoesNotClick) {
    StripProcessing gateClosing = gate(-20, 4, 40, 0);
    gateClosing.gate.releaseMs = 1;
    struct Case {
        const char* what;
        StripProcessing settings;
    };
    const Case cases[] = {
        {"hpf", withHpf(400)},
        {"bell +18", withBand(1, {true, kEqBell, 100, 18, 1})},
        {"low shelf -24", withBand(0, {true, kEqLowShelf, 300, -24, 0.7})},
        {"compressor makeup", compressor(0, 4, 24)},
        {"gate closing", gateClosing},
    };
    // The change lands on a crest of the 100 Hz tone, where a jump in gain shows most.
    const int rate = 48000, span = 4800, crest = span + 120;
    for (const Case& c : cases) {
        ChannelStrip strip = preparedStrip(StripProcessing{}, rate, 1);
        Buffer b = sine(1, 3 * span, 100, rate, 0.1);
        float* head = b[0].data();
        strip.process(&head, 1, crest);
        ASSERT_TRUE(strip.setProcessing(c.settings));
        for (int start = crest; start < 3 * span; start += 64) {
            float* p = b[0].data() + start;
            strip.process(&p, 1, std::min(64, 3 * span - start));
        }
        const double steady =
            std::max(largestStep(b[0], 0, span), largestStep(b[0], 2 * span, 3 * span));
        EXPECT_LE(largestStep(b[0], crest - 1, 2 * span), 1.5 * steady) << c.what;
    }
}

// --- Guards.

TEST(ChannelStripGuards, NonFiniteInputReadsAsZeroWithoutPoisoningTheFilters) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    {
        ChannelStrip strip;
        float samples[4] = {0.5f, nan, -inf, 0.25f};
        float* p[2] = {samples, samples};
        float right[4] = {inf, 0.1f, 0.1f, nan};
        p[1] = right;
        strip.process(p, 2, 4);
        EXPECT_EQ(std::vector<float>(samples, samples + 4),
                  (std::vector<float>{0.5f, 0, 0, 0.25f}));
        EXPECT_EQ(std::vector<float>(right, right + 4), (std::vector<float>{0, 0.1f, 0.1f, 0}));
        EXPECT_EQ(strip.readMeters().inputPeak, 0.5f);
    }

    StripProcessing busy = withHpf(100);
    busy.eq.enabled = true;
    busy.eq.bands[1].gainDb = 9;
    busy.compressor = {true, -30, 4, 6, 5, 50, 6};
    busy.gate = {true, -50, 2, 30, 6, 2, 10, 40};
    ChannelStrip poisoned = preparedStrip(busy, 48000, 2);
    ChannelStrip clean = preparedStrip(busy, 48000, 2);
    Buffer a = sine(2, 9600, 440, 48000, 0.3);
    Buffer z = a;
    for (int i : {1000, 1001, 5000}) {
        a[0][i] = nan;
        a[1][i] = i == 5000 ? -inf : inf;
        z[0][i] = 0.0f;
        z[1][i] = 0.0f;
    }
    run(poisoned, a);
    run(clean, z);
    EXPECT_EQ(a, z);
    EXPECT_TRUE(std::all_of(a[0].begin(), a[0].end(), [](float v) { return std::isfinite(v); }));
}

TEST(ChannelStripGuards, DecayingFilterStateIsFlushedToZero) {
    StripProcessing s = withHpf(80);
    s.eq.enabled = true;
    s.eq.bands[1].gainDb = 6;
    ChannelStrip strip = preparedStrip(s, 48000, 1);
    Buffer b = constant(1, 48000, 0.0f);
    b[0][0] = 1.0f;
    run(strip, b);
    // The 80 Hz high-pass decays by e^-0.0074 a sample: its state passes 1e-24 near sample 7500,
    // and only near sample 14000 would the float output underflow to 0 by itself.
    const auto firstSilent =
        std::find_if(b[0].rbegin(), b[0].rend(), [](float v) { return v != 0.0f; }).base() -
        b[0].begin();
    EXPECT_GT(firstSilent, 5000);
    EXPECT_LT(firstSilent, 11000);
}

TEST(ChannelStripGuards, OutputIsLimitedToTheLargestFloat) {
    ChannelStrip strip = preparedStrip(withBand(0, {true, kEqLowShelf, 1000, 24, 0.7}), 48000, 1);
    Buffer b = constant(1, 4800, FLT_MAX);
    b[0][4799] = -FLT_MAX;
    run(strip, b);
    EXPECT_EQ(b[0][4798], FLT_MAX);
    EXPECT_EQ(strip.readMeters().outputPeak, FLT_MAX);
    EXPECT_TRUE(std::isfinite(b[0][4799]));
}

TEST(ChannelStripGuards, PrepareRefusesOutOfRangeFormatsAndKeepsThePreviousOne) {
    ChannelStrip strip;
    ASSERT_TRUE(strip.prepare(44100, 1));
    struct Case {
        double rate;
        int32_t channels;
    };
    const Case refused[] = {{7999, 1},
                            {192001, 1},
                            {std::numeric_limits<double>::quiet_NaN(), 1},
                            {std::numeric_limits<double>::infinity(), 2},
                            {48000, 0},
                            {48000, 3},
                            {48000, -1}};
    for (const Case& c : refused) {
        EXPECT_FALSE(strip.prepare(c.rate, c.channels)) << c.rate << " Hz, " << c.channels;
    }
    // Still prepared for one channel: mono is processed, stereo is not.
    float mono[2] = {0.5f, 0.25f};
    float* p[2] = {mono, mono};
    strip.process(p, 1, 2);
    EXPECT_EQ(strip.readMeters().inputPeak, 0.5f);
    strip.process(p, 2, 2);
    EXPECT_EQ(strip.readMeters().inputPeak, 0.5f);

    EXPECT_TRUE(strip.prepare(8000, 1));
    EXPECT_TRUE(strip.prepare(192000, 2));
    EXPECT_EQ(strip.readMeters().inputPeak, 0.0f) << "prepare zeroes the meters";
}

TEST(ChannelStripGuards, UnusableCallsProcessNothing) {
    ChannelStrip strip = preparedStrip(compressor(-40, 4, 12), 48000, 2);
    std::vector<float> left(ChannelStrip::kMaxFrames + 1, 0.5f), right = left;
    float* both[2] = {left.data(), right.data()};
    float* missing[2] = {left.data(), nullptr};
    struct Case {
        const char* what;
        float* const* pointers;
        int32_t channels;
        int32_t frames;
    };
    const Case cases[] = {
        {"channel count mismatch", both, 1, 4096},
        {"too many channels", both, 3, 4096},
        {"null pointer array", nullptr, 2, 4096},
        {"null channel", missing, 2, 4096},
        {"too many frames", both, 2, ChannelStrip::kMaxFrames + 1},
        {"negative frames", both, 2, -1},
    };
    for (const Case& c : cases) {
        strip.process(c.pointers, c.channels, c.frames);
        EXPECT_TRUE(std::all_of(left.begin(), left.end(), [](float v) { return v == 0.5f; }))
            << c.what;
        EXPECT_TRUE(std::all_of(right.begin(), right.end(), [](float v) { return v == 0.5f; }))
            << c.what;
        EXPECT_EQ(strip.readMeters().inputPeak, 0.0f) << c.what;
    }
    strip.process(both, 2, ChannelStrip::kMaxFrames);
    EXPECT_EQ(strip.readMeters().inputPeak, 0.5f);
    EXPECT_NE(left[0], 0.5f);
    EXPECT_EQ(left[ChannelStrip::kMaxFrames], 0.5f);
}

TEST(ChannelStripGuards, RefusedSettingsChangeNothing) {
    ChannelStrip strip = preparedStrip(compressor(-20, 4, 0), 48000, 1);
    StripProcessing bad = compressor(-20, 50, 0);
    bad.compressor.enabled = false;
    EXPECT_FALSE(strip.setProcessing(bad));
    EXPECT_EQ(strip.accepted(), compressor(-20, 4, 0));
    Buffer b = constant(1, 48000, static_cast<float>(dbToLinear(-8)));
    run(strip, b);
    EXPECT_NEAR(strip.readMeters().compressorReductionDb, 9, 0.01);
}

// --- Hand-over between the control thread and the audio thread.

TEST(ChannelStripThreading, SettingsChangeWhileProcessingAndTheLastOneWins) {
    ChannelStrip strip = preparedStrip(StripProcessing{}, 48000, 2);
    StripProcessing loud = withHpf(200);
    loud.eq.enabled = true;
    loud.eq.bands[2].gainDb = 12;
    loud.compressor = {true, -30, 8, 6, 1, 20, 18};
    loud.gate = {true, -60, 3, 50, 6, 1, 5, 20};

    std::atomic<bool> done{false};
    std::atomic<int> blocks{0};
    std::thread control([&] {
        for (int i = 0; blocks.load() < 2000; ++i) {
            EXPECT_TRUE(strip.setProcessing(i % 2 == 0 ? loud : StripProcessing{}));
        }
        EXPECT_TRUE(strip.setProcessing(StripProcessing{}));
        done.store(true);
    });
    Buffer b = sine(2, 64, 440, 48000, 0.5);
    bool finite = true;
    while (!done.load()) {
        Buffer block = b;
        float* p[2] = {block[0].data(), block[1].data()};
        strip.process(p, 2, 64);
        for (const auto& ch : block) {
            finite = finite && std::all_of(ch.begin(), ch.end(), [](float v) {
                         return std::isfinite(v) && std::abs(v) < 100.0f;
                     });
        }
        (void)strip.readMeters();
        blocks.fetch_add(1);
    }
    control.join();
    EXPECT_TRUE(finite);

    // Once the defaults have glided in, the strip is exact pass-through again.
    Buffer settle = sine(2, 48000, 440, 48000, 0.5);
    run(strip, settle, 64);
    Buffer last = sine(2, 256, 440, 48000, 0.5);
    const Buffer input = last;
    run(strip, last, 64);
    EXPECT_EQ(last, input);
}

} // namespace
} // namespace kestravon::ruvi
