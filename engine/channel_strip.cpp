#include "engine/channel_strip.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <numbers>

#include "engine/strip_snapshot.h"

namespace kestravon::ruvi {
namespace {

constexpr int kSections = 5; // HPF, then the four EQ bands
constexpr int kMaxChannels = 2;
constexpr double kSnap = 1e-10;
constexpr double kDenormalFloor = 1e-24;
constexpr double kDetectorFloor = 1e-15;
constexpr double kLargestFloat = 3.4028234663852886e38;
constexpr double kNepersPerDb = std::numbers::ln10 / 20.0; // 10^(dB/20) = e^(dB * this)

// b0, b1, b2, a1, a2, normalised by a0.
using Coefficients = std::array<double, 5>;
constexpr Coefficients kIdentity{1.0, 0.0, 0.0, 0.0, 0.0};

struct Section {
    Coefficients current = kIdentity;
    Coefficients target = kIdentity;
    std::array<double, kMaxChannels> s1{};
    std::array<double, kMaxChannels> s2{};
};

Coefficients normalised(double b0, double b1, double b2, double a0, double a1, double a2) {
    return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

double designOmega(double frequencyHz, double sampleRate) {
    const double f = std::min(frequencyHz, 0.45 * sampleRate);
    return 2.0 * std::numbers::pi * f / sampleRate;
}

Coefficients highPass(double frequencyHz, double sampleRate) {
    const double w0 = designOmega(frequencyHz, sampleRate);
    const double cosw = std::cos(w0);
    const double alpha = std::sin(w0) / std::numbers::sqrt2;
    return normalised((1.0 + cosw) / 2.0, -(1.0 + cosw), (1.0 + cosw) / 2.0, 1.0 + alpha,
                      -2.0 * cosw, 1.0 - alpha);
}

Coefficients band(const EqBand& b, double sampleRate) {
    const double w0 = designOmega(b.frequencyHz, sampleRate);
    const double cosw = std::cos(w0);
    const double alpha = std::sin(w0) / (2.0 * b.q);
    const double A = std::pow(10.0, b.gainDb / 40.0);
    const double twoSqrtAAlpha = 2.0 * std::sqrt(A) * alpha;
    switch (b.type) {
    case kEqLowShelf:
        return normalised(A * ((A + 1.0) - (A - 1.0) * cosw + twoSqrtAAlpha),
                          2.0 * A * ((A - 1.0) - (A + 1.0) * cosw),
                          A * ((A + 1.0) - (A - 1.0) * cosw - twoSqrtAAlpha),
                          (A + 1.0) + (A - 1.0) * cosw + twoSqrtAAlpha,
                          -2.0 * ((A - 1.0) + (A + 1.0) * cosw),
                          (A + 1.0) + (A - 1.0) * cosw - twoSqrtAAlpha);
    case kEqHighShelf:
        return normalised(A * ((A + 1.0) + (A - 1.0) * cosw + twoSqrtAAlpha),
                          -2.0 * A * ((A - 1.0) + (A + 1.0) * cosw),
                          A * ((A + 1.0) + (A - 1.0) * cosw - twoSqrtAAlpha),
                          (A + 1.0) - (A - 1.0) * cosw + twoSqrtAAlpha,
                          2.0 * ((A - 1.0) - (A + 1.0) * cosw),
                          (A + 1.0) - (A - 1.0) * cosw - twoSqrtAAlpha);
    default:
        return normalised(1.0 + alpha * A, -2.0 * cosw, 1.0 - alpha * A, 1.0 + alpha / A,
                          -2.0 * cosw, 1.0 - alpha / A);
    }
}

double envelopeCoefficient(double ms, double sampleRate) {
    return 1.0 - std::exp(-1.0 / (ms * 0.001 * sampleRate));
}

// One step of a one-pole glide with the snap that lets it settle exactly.
inline void glide(double& value, double target, double k) {
    value += (target - value) * k;
    if (std::abs(value - target) < kSnap) [[unlikely]] {
        value = target;
    }
}

inline bool finite(double v) {
    return std::abs(v) <= DBL_MAX;
}

// A non-finite result resets the section; a state too small to matter becomes 0 before it can
// turn denormal. Out of line so the compiler keeps the common path free of it.
[[gnu::cold, gnu::noinline]] void repairState(double& out, double& s1, double& s2) noexcept {
    if (!(finite(out) && finite(s1) && finite(s2))) {
        out = 0.0;
        s1 = 0.0;
        s2 = 0.0;
    }
    if (std::abs(s1) < kDenormalFloor) {
        s1 = 0.0;
    }
    if (std::abs(s2) < kDenormalFloor) {
        s2 = 0.0;
    }
}

inline double gateTargetDb(double levelDb, double threshold, double ratio, double range,
                           double knee) {
    const double d = levelDb - threshold;
    double target;
    if (knee > 0.0) {
        if (d >= knee / 2.0) {
            target = 0.0;
        } else if (d > -knee / 2.0) {
            const double over = d - knee / 2.0;
            target = -(ratio - 1.0) * over * over / (2.0 * knee);
        } else {
            target = (ratio - 1.0) * d;
        }
    } else {
        target = d >= 0.0 ? 0.0 : (ratio - 1.0) * d;
    }
    return std::clamp(target, -range, 0.0);
}

inline double compressorTargetDb(double levelDb, double threshold, double ratio, double knee) {
    const double d = levelDb - threshold;
    const double slope = 1.0 / ratio - 1.0;
    double target;
    if (knee > 0.0) {
        if (d <= -knee / 2.0) {
            target = 0.0;
        } else if (d < knee / 2.0) {
            const double over = d + knee / 2.0;
            target = slope * over * over / (2.0 * knee);
        } else {
            target = slope * d;
        }
    } else {
        target = d <= 0.0 ? 0.0 : slope * d;
    }
    return std::clamp(target, -120.0, 0.0);
}

// The smoothed dynamics parameters, in one block so they glide and compare together.
struct Dynamics {
    double gateThresholdDb = 0.0;
    double gateRatio = 1.0;
    double gateRangeDb = 0.0;
    double gateKneeDb = 0.0;
    double compressorThresholdDb = 0.0;
    double compressorRatio = 1.0;
    double compressorKneeDb = 0.0;
    double compressorMakeupDb = 0.0;
    double gateMix = 0.0;
    double compressorMix = 0.0;

    bool operator==(const Dynamics&) const = default;
};

Dynamics dynamicsTarget(const StripProcessing& s) {
    return {s.gate.thresholdDb,
            s.gate.ratio,
            s.gate.rangeDb,
            s.gate.kneeDb,
            s.compressor.thresholdDb,
            s.compressor.ratio,
            s.compressor.kneeDb,
            s.compressor.makeupDb,
            s.gate.enabled ? 1.0 : 0.0,
            s.compressor.enabled ? 1.0 : 0.0};
}

void glideAll(Dynamics& d, const Dynamics& t, double k) {
    glide(d.gateThresholdDb, t.gateThresholdDb, k);
    glide(d.gateRatio, t.gateRatio, k);
    glide(d.gateRangeDb, t.gateRangeDb, k);
    glide(d.gateKneeDb, t.gateKneeDb, k);
    glide(d.compressorThresholdDb, t.compressorThresholdDb, k);
    glide(d.compressorRatio, t.compressorRatio, k);
    glide(d.compressorKneeDb, t.compressorKneeDb, k);
    glide(d.compressorMakeupDb, t.compressorMakeupDb, k);
    glide(d.gateMix, t.gateMix, k);
    glide(d.compressorMix, t.compressorMix, k);
}

} // namespace

struct ChannelStrip::Impl {
    StripSnapshot snapshot;
    int64_t lastApplied = -1;
    StripProcessing accepted;
    StripProcessing working;
    std::array<Section, kSections> sections{};
    double sampleRate = 48000.0;
    double smoothing = 0.0;
    double gateGainDb = 0.0;
    double compressorGainDb = 0.0;
    Dynamics dynamics;
    Dynamics dynamicsGoal;
    uint64_t holdRemaining = 0;
    uint64_t holdSamples = 0;
    double gateAttack = 0.0;
    double gateRelease = 0.0;
    double compressorAttack = 0.0;
    double compressorRelease = 0.0;
    int32_t channels = 2;
    std::atomic<float> inputPeak{0.0f};
    std::atomic<float> outputPeak{0.0f};
    std::atomic<float> gateReductionDb{0.0f};
    std::atomic<float> compressorReductionDb{0.0f};

    void design() noexcept {
        const StripProcessing& w = working;
        sections[0].target = w.hpf.enabled ? highPass(w.hpf.frequencyHz, sampleRate) : kIdentity;
        for (int i = 0; i < 4; ++i) {
            const EqBand& b = w.eq.bands[i];
            const bool active = w.eq.enabled && b.enabled && b.gainDb != 0.0;
            sections[i + 1].target = active ? band(b, sampleRate) : kIdentity;
        }
        // Times are not smoothed; deriving them per published record equals doing it per block.
        gateAttack = envelopeCoefficient(w.gate.attackMs, sampleRate);
        gateRelease = envelopeCoefficient(w.gate.releaseMs, sampleRate);
        compressorAttack = envelopeCoefficient(w.compressor.attackMs, sampleRate);
        compressorRelease = envelopeCoefficient(w.compressor.releaseMs, sampleRate);
        holdSamples = static_cast<uint64_t>(w.gate.holdMs * 0.001 * sampleRate);
        dynamicsGoal = dynamicsTarget(w);
    }

    void pull() noexcept {
        if (snapshot.tryPull(lastApplied, working)) {
            design();
        }
    }

    void reset() noexcept {
        smoothing = 1.0 - std::exp(-1.0 / (sampleRate * 0.005));
        lastApplied = -1;
        pull();
        pull();
        design(); // the working record may be unchanged, but the rate may not
        for (Section& s : sections) {
            s.current = s.target;
            s.s1 = {};
            s.s2 = {};
        }
        gateGainDb = 0.0;
        compressorGainDb = 0.0;
        holdRemaining = 0;
        dynamics = dynamicsGoal;
        inputPeak.store(0.0f, std::memory_order_relaxed);
        outputPeak.store(0.0f, std::memory_order_relaxed);
        gateReductionDb.store(0.0f, std::memory_order_relaxed);
        compressorReductionDb.store(0.0f, std::memory_order_relaxed);
    }

    static bool idle(const Section& s, int count) noexcept {
        if (s.current != kIdentity || s.target != kIdentity) {
            return false;
        }
        for (int c = 0; c < count; ++c) {
            if (s.s1[c] != 0.0 || s.s2[c] != 0.0) {
                return false;
            }
        }
        return true;
    }

    void passThrough(float* const* ch, int count, int frames) noexcept {
        // Branch-free and with unconditional stores so the compiler can vectorise it.
        float peak = 0.0f;
        for (int c = 0; c < count; ++c) {
            float* samples = ch[c];
            for (int i = 0; i < frames; ++i) {
                const float v = samples[i];
                const float clean = std::abs(v) <= FLT_MAX ? v : 0.0f;
                samples[i] = clean;
                peak = std::max(peak, std::abs(clean));
            }
        }
        inputPeak.store(peak, std::memory_order_relaxed);
        outputPeak.store(peak, std::memory_order_relaxed);
        gateReductionDb.store(0.0f, std::memory_order_relaxed);
        compressorReductionDb.store(0.0f, std::memory_order_relaxed);
    }

    template <int N> void render(float* const* ch, int frames) noexcept;
    template <int N, bool Glide, bool Dynamic>
    void renderWith(float* const* ch, int frames) noexcept;
};

template <int N> void ChannelStrip::Impl::render(float* const* ch, int frames) noexcept {
    // Decided once per block: targets only change at a pull, so a section that is idle or
    // settled at the start stays so for the whole block.
    bool anyGliding = false;
    for (const Section& s : sections) {
        anyGliding = anyGliding || s.current != s.target;
    }
    // With both processors off, both mixes at 0 and the envelopes resting at 0, the dynamics
    // stage is a fixed point with unity gain; skip its per-sample work.
    const bool dynamicsIdle = !working.gate.enabled && !working.compressor.enabled &&
                              dynamics == dynamicsGoal && dynamics.gateMix == 0.0 &&
                              dynamics.compressorMix == 0.0 && gateGainDb == 0.0 &&
                              compressorGainDb == 0.0 && holdRemaining == 0;
    if (anyGliding) {
        dynamicsIdle ? renderWith<N, true, false>(ch, frames)
                     : renderWith<N, true, true>(ch, frames);
    } else {
        dynamicsIdle ? renderWith<N, false, false>(ch, frames)
                     : renderWith<N, false, true>(ch, frames);
    }
}

template <int N, bool Glide, bool Dynamic>
void ChannelStrip::Impl::renderWith(float* const* ch, int frames) noexcept {
    const double k = smoothing;
    const bool gateOn = working.gate.enabled;
    const bool compressorOn = working.compressor.enabled;

    // Work on local copies of the active sections so the frame loop touches nothing else.
    struct Lane {
        Coefficients current;
        Coefficients target;
        std::array<double, N> s1;
        std::array<double, N> s2;
    };
    std::array<Lane, kSections> lanes;
    std::array<int, kSections> laneSection{};
    int laneCount = 0;
    for (int s = 0; s < kSections; ++s) {
        if (idle(sections[s], N)) {
            continue;
        }
        Lane& lane = lanes[laneCount];
        lane.current = sections[s].current;
        lane.target = sections[s].target;
        for (int c = 0; c < N; ++c) {
            lane.s1[c] = sections[s].s1[c];
            lane.s2[c] = sections[s].s2[c];
        }
        laneSection[laneCount++] = s;
    }

    Dynamics d = dynamics;
    const Dynamics goal = dynamicsGoal;
    bool dynamicsGliding = d != goal;
    double gateEnvelope = gateGainDb;
    double compressorEnvelope = compressorGainDb;
    uint64_t hold = holdRemaining;

    double inPeak = 0.0;
    double outPeak = 0.0;
    double gateReduction = 0.0;
    double compressorReduction = 0.0;

    // The block runs in chunks, each stage over the whole chunk: filters, detector, envelopes,
    // gain, output. Frame for frame the arithmetic is the same as one pass per frame, but the
    // long per-frame path from input to gain no longer has to fit the CPU's reorder window, so
    // consecutive frames overlap.
    constexpr int kChunk = 64;
    for (int start = 0; start < frames; start += kChunk) {
        const int count = std::min(kChunk, frames - start);
        double y[N][kChunk];

        for (int i = 0; i < count; ++i) {
            std::array<double, N> v;
            for (int c = 0; c < N; ++c) {
                const double x = static_cast<double>(ch[c][start + i]);
                v[c] = finite(x) ? x : 0.0;
                inPeak = std::max(inPeak, std::abs(v[c]));
            }
            for (int l = 0; l < laneCount; ++l) {
                Lane& lane = lanes[l];
                if constexpr (Glide) {
                    for (int j = 0; j < 5; ++j) {
                        glide(lane.current[j], lane.target[j], k);
                    }
                }
                const double b0 = lane.current[0];
                const double b1 = lane.current[1];
                const double b2 = lane.current[2];
                const double a1 = lane.current[3];
                const double a2 = lane.current[4];
                for (int c = 0; c < N; ++c) {
                    const double x = v[c];
                    double out = b0 * x + lane.s1[c];
                    double s1 = b1 * x - a1 * out + lane.s2[c];
                    double s2 = b2 * x - a2 * out;
                    // Guards as one rarely taken branch, so they stay off the recursion's
                    // critical path. The sum is non-finite whenever one of the three is; finite
                    // states this large cannot arise from float input through valid coefficients.
                    // Exact zeros (digital silence) need no flush and stay on the fast path.
                    if (!finite(out + s1 + s2) || (std::abs(s1) < kDenormalFloor && s1 != 0.0) ||
                        (std::abs(s2) < kDenormalFloor && s2 != 0.0)) [[unlikely]] {
                        repairState(out, s1, s2);
                    }
                    lane.s1[c] = s1;
                    lane.s2[c] = s2;
                    v[c] = out;
                }
            }
            for (int c = 0; c < N; ++c) {
                y[c][i] = v[c];
            }
        }

        double gain[kChunk];
        if constexpr (Dynamic) {
            double levelDb[kChunk];
            for (int i = 0; i < count; ++i) {
                double level = kDetectorFloor;
                for (int c = 0; c < N; ++c) {
                    level = std::max(level, std::abs(y[c][i]));
                }
                levelDb[i] = 20.0 * std::log10(level);
            }

            for (int i = 0; i < count; ++i) {
                if (dynamicsGliding) {
                    glideAll(d, goal, k);
                    dynamicsGliding = d != goal;
                }

                double gateTarget = gateTargetDb(levelDb[i], d.gateThresholdDb, d.gateRatio,
                                                 d.gateRangeDb, d.gateKneeDb);
                if (gateOn && levelDb[i] >= d.gateThresholdDb + d.gateKneeDb / 2.0) {
                    hold = holdSamples;
                } else if (hold != 0) {
                    gateTarget = 0.0;
                    --hold;
                }
                if (!gateOn) {
                    gateTarget = 0.0;
                }
                glide(gateEnvelope, gateTarget,
                      gateTarget <= gateEnvelope ? gateRelease : gateAttack);

                const double compressorTarget =
                    compressorOn ? compressorTargetDb(levelDb[i], d.compressorThresholdDb,
                                                      d.compressorRatio, d.compressorKneeDb)
                                 : 0.0;
                glide(compressorEnvelope, compressorTarget,
                      compressorTarget < compressorEnvelope ? compressorAttack : compressorRelease);

                const double gateDb = d.gateMix * gateEnvelope;
                const double compressorDb = d.compressorMix * compressorEnvelope;
                gain[i] = gateDb + compressorDb + d.compressorMix * d.compressorMakeupDb;
                gateReduction = std::max(gateReduction, -gateDb);
                compressorReduction = std::max(compressorReduction, -compressorDb);
            }

            for (int i = 0; i < count; ++i) {
                gain[i] = std::exp(gain[i] * kNepersPerDb);
            }
        }

        for (int c = 0; c < N; ++c) {
            float* out = ch[c] + start;
            for (int i = 0; i < count; ++i) {
                double v = y[c][i];
                if constexpr (Dynamic) {
                    v *= gain[i];
                }
                v = finite(v) ? std::clamp(v, -kLargestFloat, kLargestFloat) : 0.0;
                const float stored = static_cast<float>(v);
                out[i] = stored;
                outPeak = std::max(outPeak, static_cast<double>(std::abs(stored)));
            }
        }
    }

    for (int l = 0; l < laneCount; ++l) {
        Section& section = sections[laneSection[l]];
        section.current = lanes[l].current;
        for (int c = 0; c < N; ++c) {
            section.s1[c] = lanes[l].s1[c];
            section.s2[c] = lanes[l].s2[c];
        }
    }
    dynamics = d;
    gateGainDb = gateEnvelope;
    compressorGainDb = compressorEnvelope;
    holdRemaining = hold;

    inputPeak.store(static_cast<float>(inPeak), std::memory_order_relaxed);
    outputPeak.store(static_cast<float>(outPeak), std::memory_order_relaxed);
    gateReductionDb.store(static_cast<float>(gateReduction), std::memory_order_relaxed);
    compressorReductionDb.store(static_cast<float>(compressorReduction), std::memory_order_relaxed);
}

ChannelStrip::ChannelStrip() : impl_(std::make_unique<Impl>()) {
    (void)setProcessing(StripProcessing{});
    impl_->reset();
}

ChannelStrip::~ChannelStrip() = default;
ChannelStrip::ChannelStrip(ChannelStrip&&) noexcept = default;
ChannelStrip& ChannelStrip::operator=(ChannelStrip&&) noexcept = default;

bool ChannelStrip::setProcessing(const StripProcessing& settings) {
    if (!settings.isValid()) {
        return false;
    }
    impl_->snapshot.publish(settings);
    impl_->accepted = settings;
    return true;
}

bool ChannelStrip::prepare(double sampleRate, int32_t channels) {
    if (!std::isfinite(sampleRate) || sampleRate < 8000.0 || sampleRate > 192000.0 ||
        (channels != 1 && channels != 2)) {
        return false;
    }
    impl_->sampleRate = sampleRate;
    impl_->channels = channels;
    impl_->reset();
    return true;
}

void ChannelStrip::process(float* const* channelPointers, int32_t channelCount,
                           int32_t frames) noexcept {
    Impl* const impl = impl_.get();
    if (impl == nullptr || channelPointers == nullptr || channelCount != impl->channels ||
        frames < 0 || frames > kMaxFrames) {
        return;
    }
    for (int32_t c = 0; c < channelCount; ++c) {
        if (channelPointers[c] == nullptr) {
            return;
        }
    }

    impl->pull();

    const bool sectionsIdle =
        std::all_of(impl->sections.begin(), impl->sections.end(),
                    [&](const Section& s) { return Impl::idle(s, channelCount); });
    if (!impl->working.gate.enabled && !impl->working.compressor.enabled &&
        impl->dynamics.gateMix == 0.0 && impl->dynamics.compressorMix == 0.0 && sectionsIdle) {
        impl->passThrough(channelPointers, channelCount, frames);
        return;
    }

    if (channelCount == 1) {
        impl->render<1>(channelPointers, frames);
    } else {
        impl->render<2>(channelPointers, frames);
    }
}

StripMeters ChannelStrip::readMeters() const noexcept {
    if (!impl_) {
        return {};
    }
    return {impl_->inputPeak.load(std::memory_order_relaxed),
            impl_->outputPeak.load(std::memory_order_relaxed),
            impl_->gateReductionDb.load(std::memory_order_relaxed),
            impl_->compressorReductionDb.load(std::memory_order_relaxed)};
}

const StripProcessing& ChannelStrip::accepted() const noexcept {
    return impl_->accepted;
}

} // namespace kestravon::ruvi
