#include "audio/drift_resampler.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <numbers>

namespace kestravon::ruvi {

void DriftResampler::build(FrameRing& ring, double inRate, double outRate, double target) {
    ring_ = &ring;
    primed_ = everPrimed_ = false;
    nominalRatio_ = ratio_ = inRate / outRate;
    target_ = target;
    position_ = 0.0;
    cutoff_ = 0.94 * std::min(1.0, 1.0 / (nominalRatio_ * 1.005));
    table_.assign(static_cast<std::size_t>(kPhases + 1) * kTaps, 0.0f);
    constexpr double pi = std::numbers::pi;
    double window[kTaps];
    for (int k = 0; k < kTaps; ++k) {
        window[k] =
            0.42 - 0.5 * std::cos(2.0 * pi * k / 63.0) + 0.08 * std::cos(4.0 * pi * k / 63.0);
    }
    for (int p = 0; p <= kPhases; ++p) {
        const double h = static_cast<double>(p) / kPhases;
        double c[kTaps];
        double sum = 0.0;
        for (int k = 0; k < kTaps; ++k) {
            const double x = (k - 31 - h) * pi * cutoff_;
            const double sinc = std::fabs(x) < 1e-12 ? 1.0 : std::sin(x) / x;
            c[k] = sinc * cutoff_ * window[k];
            sum += c[k];
        }
        float* row = table_.data() + static_cast<std::size_t>(p) * kTaps;
        for (int k = 0; k < kTaps; ++k) {
            row[k] = static_cast<float>(c[k] / sum);
        }
    }
}

bool DriftResampler::next(float* frameOut, double rateRatio, double& correctionPpm) noexcept {
    FrameRing& ring = *ring_;
    const std::uint64_t w = ring.writeIndex();
    const std::uint64_t r = ring.readIndex();
    if (!primed_) {
        if (static_cast<double>(w - r) < target_ + 64.0) {
            return false;
        }
        position_ = static_cast<double>(r) + 32.0;
        primed_ = everPrimed_ = true;
    }
    const double e =
        std::clamp((static_cast<double>(w) - position_ - target_) / std::max(1.0, target_) * 2e-4,
                   -5e-4, 5e-4);
    const double desired =
        std::clamp((1.0 + e) * rateRatio, 0.995 * nominalRatio_, 1.005 * nominalRatio_);
    const double slew = 5e-7 * nominalRatio_;
    ratio_ += std::clamp(desired - ratio_, -slew, slew);
    correctionPpm = (ratio_ / nominalRatio_ - 1.0) * 1e6;

    const double b = std::floor(position_);
    const auto base = static_cast<std::uint64_t>(b);
    if (b - 31.0 < static_cast<double>(r) || base + 32 >= w) {
        primed_ = false;
        ring.consume(w);
        return false;
    }
    const double f = (position_ - b) * kPhases;
    const int q = std::min(static_cast<int>(f), kPhases - 1);
    const float mu = static_cast<float>(f - q);
    const float* row = table_.data() + static_cast<std::size_t>(q) * kTaps;
    const float* nextRow = row + kTaps;
    float coef[kTaps];
    for (int k = 0; k < kTaps; ++k) {
        coef[k] = row[k] + mu * (nextRow[k] - row[k]);
    }
    const int channels = ring.channels();
    double acc[64];
    std::fill_n(acc, channels, 0.0);
    const std::uint64_t first = base - 31;
    for (int k = 0; k < kTaps; ++k) {
        const float* in = ring.frame(first + static_cast<std::uint64_t>(k));
        const double ck = coef[k];
        for (int c = 0; c < channels; ++c) {
            acc[c] += static_cast<double>(in[c]) * ck;
        }
    }
    for (int c = 0; c < channels; ++c) {
        const double v = acc[c];
        frameOut[c] = std::isfinite(v) && std::fabs(v) <= FLT_MAX ? static_cast<float>(v) : 0.0f;
    }
    position_ += ratio_;
    ring.consume(static_cast<std::uint64_t>(std::floor(position_)) - 31);
    return true;
}

} // namespace kestravon::ruvi
