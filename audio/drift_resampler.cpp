#include "audio/drift_resampler.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <numbers>

namespace kestravon::ruvi {

namespace {

// Products of 64 ring frames with the interpolated taps, accumulated in double. Independent
// partial sums keep the additions out of one long dependency chain; channel counts known at
// compile time keep the sums in registers.
template <int Channels>
void dotProduct(const FrameRing& ring, std::uint64_t first, const float* coef,
                double* out) noexcept {
    constexpr int kPartials = Channels >= 4 ? 1 : 4 / Channels;
    double acc[kPartials][Channels] = {};
    const std::uint64_t mask = ring.capacity() - 1;
    if ((first & mask) + DriftResampler::kTaps <= ring.capacity()) {
        const float* x = ring.frame(first);
        for (int k = 0; k < DriftResampler::kTaps; k += kPartials) {
#pragma GCC unroll 4
            for (int p = 0; p < kPartials; ++p) {
                const double c = coef[k + p];
#pragma GCC unroll 8
                for (int ch = 0; ch < Channels; ++ch) {
                    acc[p][ch] += static_cast<double>(x[(k + p) * Channels + ch]) * c;
                }
            }
        }
    } else {
        for (int k = 0; k < DriftResampler::kTaps; k += kPartials) {
#pragma GCC unroll 4
            for (int p = 0; p < kPartials; ++p) {
                const float* x = ring.frame(first + static_cast<std::uint64_t>(k + p));
                const double c = coef[k + p];
#pragma GCC unroll 8
                for (int ch = 0; ch < Channels; ++ch) {
                    acc[p][ch] += static_cast<double>(x[ch]) * c;
                }
            }
        }
    }
    for (int ch = 0; ch < Channels; ++ch) {
        double sum = 0.0;
        for (int p = 0; p < kPartials; ++p) {
            sum += acc[p][ch];
        }
        out[ch] = sum;
    }
}

void dotProductAny(const FrameRing& ring, std::uint64_t first, const float* coef,
                   double* out) noexcept {
    const int channels = ring.channels();
    std::fill_n(out, channels, 0.0);
    for (int k = 0; k < DriftResampler::kTaps; ++k) {
        const float* x = ring.frame(first + static_cast<std::uint64_t>(k));
        const double c = coef[k];
        for (int ch = 0; ch < channels; ++ch) {
            out[ch] += static_cast<double>(x[ch]) * c;
        }
    }
}

} // namespace

void DriftResampler::build(FrameRing& ring, double inRate, double outRate, double target) {
    ring_ = &ring;
    primed_ = everPrimed_ = false;
    excessWakes_ = owedWakes_ = 0;
    owed_ = passedOver_ = 0.0;
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
    const std::uint64_t first = base - 31;
    double acc[64];
    switch (channels) {
    case 1:
        dotProduct<1>(ring, first, coef, acc);
        break;
    case 2:
        dotProduct<2>(ring, first, coef, acc);
        break;
    case 4:
        dotProduct<4>(ring, first, coef, acc);
        break;
    case 8:
        dotProduct<8>(ring, first, coef, acc);
        break;
    default:
        dotProductAny(ring, first, coef, acc);
        break;
    }
    for (int c = 0; c < channels; ++c) {
        const double v = acc[c];
        frameOut[c] = std::isfinite(v) && std::fabs(v) <= FLT_MAX ? static_cast<float>(v) : 0.0f;
    }
    position_ += ratio_;
    ring.consume(static_cast<std::uint64_t>(std::floor(position_)) - 31);
    return true;
}

void DriftResampler::skip(double frames) noexcept {
    if (!primed_ || !(frames > 0.0)) {
        return;
    }
    owed_ += frames;
    owedWakes_ = 0;
    passOverOwed();
}

void DriftResampler::passOverOwed() noexcept {
    FrameRing& ring = *ring_;
    const double beyond = static_cast<double>(ring.writeIndex()) - position_ - (target_ + 32.0);
    const double n = std::min(owed_, std::max(0.0, beyond));
    if (n > 0.0) {
        position_ += n;
        owed_ -= n;
        passedOver_ += n;
        ring.consume(static_cast<std::uint64_t>(std::floor(position_)) - 31);
    }
}

double DriftResampler::dropExcess() noexcept {
    if (!primed_) {
        excessWakes_ = 0;
        owed_ = 0.0;
        return 0.0;
    }
    if (owed_ > 0.0) {
        passOverOwed();
        if (++owedWakes_ >= 2 * kExcessWakes) {
            owed_ = 0.0; // that audio is not coming
        }
    }
    FrameRing& ring = *ring_;
    const auto w = static_cast<double>(ring.writeIndex());
    if (w - position_ <= 2.0 * (target_ + 64.0)) {
        excessWakes_ = 0;
        return 0.0;
    }
    if (++excessWakes_ < kExcessWakes) {
        return 0.0;
    }
    excessWakes_ = 0;
    const double dropped = w - target_ - 32.0 - position_;
    position_ += dropped;
    passedOver_ += dropped;
    ring.consume(static_cast<std::uint64_t>(std::floor(position_)) - 31);
    return dropped;
}

} // namespace kestravon::ruvi
