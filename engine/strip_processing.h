#pragma once

#include <array>
#include <cstdint>

#include <nlohmann/json_fwd.hpp>

namespace kestravon::ruvi {

// Band shapes as stored in EqBand::type; JSON uses the words "bell", "lowShelf", "highShelf".
inline constexpr int32_t kEqBell = 0;
inline constexpr int32_t kEqLowShelf = 1;
inline constexpr int32_t kEqHighShelf = 2;

inline constexpr double kDefaultBandQ = 0.7071067811865476; // 1/sqrt(2)

struct EqBand {
    bool enabled = true;
    int32_t type = kEqBell;
    double frequencyHz = 1000.0;
    double gainDb = 0.0;
    double q = kDefaultBandQ;

    bool operator==(const EqBand&) const = default;
};

// The validated settings of one strip's built-in processing. A default-constructed record has
// every section disabled, so a strip holding it is inaudible.
struct StripProcessing {
    struct Hpf {
        bool enabled = false;
        double frequencyHz = 80.0;
        bool operator==(const Hpf&) const = default;
    };
    struct Eq {
        bool enabled = false;
        std::array<EqBand, 4> bands{{
            {true, kEqLowShelf, 80.0, 0.0, kDefaultBandQ},
            {true, kEqBell, 350.0, 0.0, kDefaultBandQ},
            {true, kEqBell, 2500.0, 0.0, kDefaultBandQ},
            {true, kEqHighShelf, 8000.0, 0.0, kDefaultBandQ},
        }};
        bool operator==(const Eq&) const = default;
    };
    struct Gate {
        bool enabled = false;
        double thresholdDb = -60.0;
        double ratio = 2.0;
        double rangeDb = 60.0;
        double kneeDb = 6.0;
        double attackMs = 3.0;
        double holdMs = 30.0;
        double releaseMs = 150.0;
        bool operator==(const Gate&) const = default;
    };
    struct Compressor {
        bool enabled = false;
        double thresholdDb = -18.0;
        double ratio = 3.0;
        double kneeDb = 6.0;
        double attackMs = 10.0;
        double releaseMs = 100.0;
        double makeupDb = 0.0;
        bool operator==(const Compressor&) const = default;
    };

    Hpf hpf;
    Eq eq;
    Gate gate;
    Compressor compressor;

    // Every number finite and within its supported range, whether its section is enabled or not.
    [[nodiscard]] bool isValid() const noexcept;

    bool operator==(const StripProcessing&) const = default;
};

// Reads a "stripProcessing" JSON object on top of the defaults. Throws std::runtime_error with the
// first failing check's message (a non-text band "type" throws the JSON library's type error).
StripProcessing parseStripProcessing(const nlohmann::json& value);

// Every key, always; numbers as floating point, band types as their lower-camel words.
nlohmann::json stripProcessingToJson(const StripProcessing& record);

// The "enabled" flag of one section object; an absent flag keeps `current`.
bool readProcessorEnabled(const nlohmann::json& section, bool current);

} // namespace kestravon::ruvi
