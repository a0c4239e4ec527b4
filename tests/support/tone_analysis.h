#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

namespace kestravon::ruvi::testing {

// A sine fitted to a signal by the four-parameter least-squares method (amplitude, phase,
// offset, frequency), and the residual's level against the fitted tone.
struct ToneFit {
    double frequency = 0.0;
    double amplitude = 0.0;
    double thdPlusNoiseDb = 0.0;
};

inline bool solve4(double m[4][5]) {
    for (int c = 0; c < 4; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 4; ++r) {
            if (std::fabs(m[r][c]) > std::fabs(m[pivot][c])) {
                pivot = r;
            }
        }
        if (std::fabs(m[pivot][c]) < 1e-300) {
            return false;
        }
        for (int k = 0; k < 5; ++k) {
            std::swap(m[c][k], m[pivot][k]);
        }
        for (int r = 0; r < 4; ++r) {
            if (r != c) {
                const double f = m[r][c] / m[c][c];
                for (int k = c; k < 5; ++k) {
                    m[r][k] -= f * m[c][k];
                }
            }
        }
    }
    for (int r = 0; r < 4; ++r) {
        m[r][4] /= m[r][r];
    }
    return true;
}

// Fits x[n] (sampled at rate) starting from a frequency guess.
inline ToneFit fitTone(const std::vector<float>& x, double rate, double guessHz) {
    const std::size_t n = x.size();
    double omega = 2.0 * std::numbers::pi * guessHz / rate;
    double a = 0, b = 0, c = 0;
    // Three-parameter fit at the guess, then Gauss-Newton on the frequency.
    for (int iteration = 0; iteration < 12; ++iteration) {
        double m[4][5] = {};
        const double mid = 0.5 * static_cast<double>(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double t = static_cast<double>(i) - mid;
            const double cs = std::cos(omega * t), sn = std::sin(omega * t);
            const double row[4] = {cs, sn, 1.0, iteration == 0 ? 0.0 : t * (-a * sn + b * cs)};
            for (int r = 0; r < 4; ++r) {
                for (int k = 0; k < 4; ++k) {
                    m[r][k] += row[r] * row[k];
                }
                m[r][4] += row[r] * x[i];
            }
        }
        if (iteration == 0) {
            m[3][3] = 1.0; // frequency fixed on the first pass
        }
        if (!solve4(m)) {
            break;
        }
        a = m[0][4];
        b = m[1][4];
        c = m[2][4];
        omega += m[3][4];
    }
    double signal = 0.0, residual = 0.0;
    const double mid = 0.5 * static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) - mid;
        const double fit = a * std::cos(omega * t) + b * std::sin(omega * t);
        signal += fit * fit;
        const double e = x[i] - fit - c;
        residual += e * e;
    }
    ToneFit out;
    out.frequency = omega * rate / (2.0 * std::numbers::pi);
    out.amplitude = std::hypot(a, b);
    out.thdPlusNoiseDb = 10.0 * std::log10(std::max(residual, 1e-300) / std::max(signal, 1e-300));
    return out;
}

// A tone's level and the residual's level against it, fitted at a known frequency.
inline ToneFit fitToneAt(const float* x, std::size_t n, double rate, double hz) {
    const double omega = 2.0 * std::numbers::pi * hz / rate;
    double m[4][5] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i);
        const double row[3] = {std::cos(omega * t), std::sin(omega * t), 1.0};
        for (int r = 0; r < 3; ++r) {
            for (int k = 0; k < 3; ++k) {
                m[r][k] += row[r] * row[k];
            }
            m[r][4] += row[r] * x[i];
        }
    }
    m[3][3] = 1.0;
    ToneFit out;
    out.frequency = hz;
    if (!solve4(m)) {
        return out;
    }
    double signal = 0.0, residual = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i);
        const double fit = m[0][4] * std::cos(omega * t) + m[1][4] * std::sin(omega * t);
        signal += fit * fit;
        const double e = x[i] - fit - m[2][4];
        residual += e * e;
    }
    out.amplitude = std::hypot(m[0][4], m[1][4]);
    out.thdPlusNoiseDb = 10.0 * std::log10(std::max(residual, 1e-300) / std::max(signal, 1e-300));
    return out;
}

// The windows of `window` frames, every half window, that break a recorded tone of known
// frequency and level: the level off by more than 10 %, or a residual above -40 dB (a gap, a
// jump in phase; overlapping windows see a jump that falls on a boundary). Returns the first
// frame of each such window.
inline std::vector<std::size_t> brokenToneWindows(const std::vector<float>& x, double rate,
                                                  double hz, double amplitude, std::size_t window) {
    std::vector<std::size_t> out;
    for (std::size_t start = 0; start + window <= x.size(); start += window / 2) {
        const ToneFit f = fitToneAt(x.data() + start, window, rate, hz);
        if (std::fabs(f.amplitude - amplitude) > 0.1 * amplitude || f.thdPlusNoiseDb > -40.0) {
            out.push_back(start);
        }
    }
    return out;
}

// The median fit over 100 ms windows of the second half of a recording, robust against a rare
// scheduling hiccup of the machine; `best` receives the cleanest window.
inline ToneFit medianFit(const std::vector<float>& x, double rate, double hz,
                         ToneFit* best = nullptr) {
    std::vector<ToneFit> fits;
    const std::size_t window = static_cast<std::size_t>(rate / 10);
    for (std::size_t start = x.size() / 2; start + window <= x.size(); start += window) {
        fits.push_back(
            fitTone(std::vector<float>(x.begin() + static_cast<std::ptrdiff_t>(start),
                                       x.begin() + static_cast<std::ptrdiff_t>(start + window)),
                    rate, hz));
    }
    if (fits.empty()) {
        return {};
    }
    std::sort(fits.begin(), fits.end(),
              [](const auto& a, const auto& b) { return a.thdPlusNoiseDb < b.thdPlusNoiseDb; });
    if (best != nullptr) {
        *best = fits.front(); // the cleanest window
    }
    return fits[fits.size() / 2];
}

} // namespace kestravon::ruvi::testing
