#include "media/playback_resampler.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <stdexcept>

namespace kestravon::ruvi {
namespace {

constexpr int kTaps = 64;
constexpr int kBefore = 31; // taps k run from base - 31 to base + 32
constexpr std::uint64_t kProgressFrames = 1024;
// Rate pairs with more phases than this evaluate the kernel per output frame instead; the
// largest table (4 MiB) stays inside the staging reserve beside the 64 KiB read piece.
constexpr std::uint64_t kMaxTablePhases = 8192;

[[noreturn]] void fail(const char* message) {
    throw std::runtime_error(message);
}

// Coefficient of the tap at distance d = t - k for cutoff a.
inline double coefficient(double a, double d) {
    const double x = a * d;
    const double sinc =
        std::abs(x) < 1e-12 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
    const double window = 0.42 + 0.5 * std::cos(std::numbers::pi * d / 32.0) +
                          0.08 * std::cos(2.0 * std::numbers::pi * d / 32.0);
    return window * sinc * a;
}

// Four independent sums so the compiler can keep several multiply-adds in flight.
inline double dot(const double* c, const float* x) {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (int j = 0; j < kTaps; j += 4) {
        s0 += c[j] * static_cast<double>(x[j]);
        s1 += c[j + 1] * static_cast<double>(x[j + 1]);
        s2 += c[j + 2] * static_cast<double>(x[j + 2]);
        s3 += c[j + 3] * static_cast<double>(x[j + 3]);
    }
    return (s0 + s1) + (s2 + s3);
}

// The 64 source samples around `base`, clamped to the lane near its ends.
inline const float* taps(const PlaybackSamples& in, std::uint64_t base, float* scratch) {
    const std::uint64_t length = in.size();
    if (base >= static_cast<std::uint64_t>(kBefore) && base + (kTaps - kBefore) < length) {
        return in.data() + (base - kBefore);
    }
    for (int j = 0; j < kTaps; ++j) {
        const std::int64_t k = static_cast<std::int64_t>(base) - kBefore + j;
        const std::uint64_t index =
            k < 0 ? 0 : std::min<std::uint64_t>(static_cast<std::uint64_t>(k), length - 1);
        scratch[j] = in[index];
    }
    return scratch;
}

inline float store(double value) {
    const auto f = static_cast<float>(value);
    if (!std::isfinite(f)) {
        fail("Playback SRC overflow");
    }
    return f;
}

struct Rational {
    std::uint64_t p = 0; // source frames advanced per q output frames
    std::uint64_t q = 0;
};

// The ratio as a reduced fraction of two whole rates, when it is one with few enough phases.
bool asRational(double ratio, std::uint32_t sessionRate, Rational& out) {
    if (sessionRate == 0) {
        return false;
    }
    const double source = ratio * sessionRate;
    if (!(source >= 1.0 && source < 4294967296.0)) {
        return false;
    }
    const auto src = static_cast<std::uint64_t>(std::llround(source));
    if (static_cast<double>(src) / static_cast<double>(sessionRate) != ratio) {
        return false;
    }
    const std::uint64_t g = std::gcd(src, static_cast<std::uint64_t>(sessionRate));
    out.p = src / g;
    out.q = sessionRate / g;
    return out.q <= kMaxTablePhases;
}

void convertWithTable(const std::vector<PlaybackSamples>& inputs,
                      std::vector<PlaybackSamples>& outputs, std::uint64_t outputFrames,
                      const Rational& r, double a, const PlaybackConfig& config) {
    // Row `phase` holds the normalised coefficients for t = base + phase / q.
    std::vector<double> table(r.q * kTaps);
    for (std::uint64_t phase = 0; phase < r.q; ++phase) {
        const double frac = static_cast<double>(phase) / static_cast<double>(r.q);
        double* row = table.data() + phase * kTaps;
        double sum = 0;
        for (int j = 0; j < kTaps; ++j) {
            row[j] = coefficient(a, frac + (kBefore - j));
            sum += row[j];
        }
        if (std::abs(sum) < 1e-12) {
            fail("Invalid playback SRC kernel");
        }
        for (int j = 0; j < kTaps; ++j) {
            row[j] /= sum;
        }
    }
    const std::uint64_t whole = r.p / r.q, step = r.p % r.q;
    float scratch[kTaps];
    std::uint64_t chunkBase = 0, chunkPhase = 0;
    for (std::uint64_t start = 0; start < outputFrames; start += kProgressFrames) {
        reportPlaybackProgress(config, "resampling",
                               static_cast<double>(start) / static_cast<double>(outputFrames));
        const std::uint64_t end = std::min(outputFrames, start + kProgressFrames);
        std::uint64_t base = 0, phase = 0;
        for (std::size_t c = 0; c < inputs.size(); ++c) {
            const PlaybackSamples& in = inputs[c];
            float* out = outputs[c].data();
            base = chunkBase;
            phase = chunkPhase;
            for (std::uint64_t i = start; i < end; ++i) {
                out[i] = store(dot(table.data() + phase * kTaps, taps(in, base, scratch)));
                base += whole;
                phase += step;
                if (phase >= r.q) {
                    phase -= r.q;
                    ++base;
                }
            }
        }
        chunkBase = base;
        chunkPhase = phase;
    }
}

// The 64 coefficients for t = base + frac. Tap j sits at d = frac + 31 - j, so the sines and
// cosines of successive taps follow from the first by rotation instead of three library calls
// per tap; the rounding that adds up over 64 rotations stays near 1e-14.
double directCoefficients(double a, double frac, double* c) {
    const double pi = std::numbers::pi;
    const double d0 = frac + kBefore;
    double sincSin = std::sin(pi * a * d0), sincCos = std::cos(pi * a * d0);
    const double stepSin = std::sin(pi * a), stepCos = std::cos(pi * a);
    double winSin = std::sin(pi * d0 / 32.0), winCos = std::cos(pi * d0 / 32.0);
    const double winStepSin = std::sin(pi / 32.0), winStepCos = std::cos(pi / 32.0);
    double sum = 0;
    for (int j = 0; j < kTaps; ++j) {
        const double d = d0 - j;
        const double x = a * d;
        const double sinc = std::abs(x) < 1e-12 ? 1.0 : sincSin / (pi * x);
        // cos(2y) = 2 cos(y)^2 - 1 gives the second window term from the first.
        const double window = 0.42 + 0.5 * winCos + 0.08 * (2.0 * winCos * winCos - 1.0);
        c[j] = window * sinc * a;
        sum += c[j];
        // Step the angles down by pi*a and pi/32 for the next tap.
        const double s1 = sincSin * stepCos - sincCos * stepSin;
        sincCos = sincCos * stepCos + sincSin * stepSin;
        sincSin = s1;
        const double s2 = winSin * winStepCos - winCos * winStepSin;
        winCos = winCos * winStepCos + winSin * winStepSin;
        winSin = s2;
    }
    return sum;
}

void convertDirect(const std::vector<PlaybackSamples>& inputs,
                   std::vector<PlaybackSamples>& outputs, std::uint64_t outputFrames, double ratio,
                   double a, const PlaybackConfig& config) {
    double c[kTaps];
    float scratch[kTaps];
    for (std::uint64_t i = 0; i < outputFrames; ++i) {
        if (i % kProgressFrames == 0) {
            reportPlaybackProgress(config, "resampling",
                                   static_cast<double>(i) / static_cast<double>(outputFrames));
        }
        const double t = static_cast<double>(i) * ratio;
        const double floorT = std::floor(t);
        const auto base = static_cast<std::uint64_t>(floorT);
        const double sum = directCoefficients(a, t - floorT, c);
        if (std::abs(sum) < 1e-12) {
            fail("Invalid playback SRC kernel");
        }
        for (std::size_t ch = 0; ch < inputs.size(); ++ch) {
            outputs[ch][i] = store(dot(c, taps(inputs[ch], base, scratch)) / sum);
        }
    }
}

} // namespace

std::uint64_t playbackResamplerTableBytes(std::uint32_t sourceRate, std::uint32_t sessionRate) {
    Rational r;
    if (sessionRate == 0 ||
        !asRational(static_cast<double>(sourceRate) / sessionRate, sessionRate, r)) {
        return 0;
    }
    return r.q * kTaps * sizeof(double);
}

std::vector<PlaybackSamples> resamplePlaybackLane(const std::vector<PlaybackSamples>& inputs,
                                                  std::uint64_t outputFrames, double ratio,
                                                  const PlaybackConfig& config) {
    if (!std::isfinite(ratio) || ratio <= 0) {
        fail("Invalid playback SRC kernel");
    }
    const std::size_t length = inputs.empty() ? 0 : inputs.front().size();
    for (const auto& in : inputs) {
        if (in.size() != length || length == 0) {
            fail("Invalid playback SRC kernel");
        }
    }
    std::vector<PlaybackSamples> outputs(inputs.size());
    for (auto& out : outputs) {
        out.resize(static_cast<std::size_t>(outputFrames));
    }
    if (inputs.empty() || outputFrames == 0) {
        return outputs;
    }
    const double a = 0.94 * std::min(1.0, 1.0 / ratio);
    Rational r;
    if (asRational(ratio, config.sampleRate, r)) {
        convertWithTable(inputs, outputs, outputFrames, r, a, config);
    } else {
        convertDirect(inputs, outputs, outputFrames, ratio, a, config);
    }
    return outputs;
}

} // namespace kestravon::ruvi
