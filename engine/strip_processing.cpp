#include "engine/strip_processing.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace kestravon::ruvi {
namespace {

bool within(double value, double low, double high) {
    return std::isfinite(value) && value >= low && value <= high;
}

void readNumber(const nlohmann::json& section, const char* key, double& target) {
    const auto found = section.find(key);
    if (found == section.end()) {
        return;
    }
    if (!found->is_number()) {
        throw std::runtime_error("Strip parameter must be numeric");
    }
    const double value = found->get<double>();
    if (!std::isfinite(value)) {
        throw std::runtime_error("Strip parameter must be finite");
    }
    target = value;
}

int32_t readBandType(const nlohmann::json& band) {
    const auto found = band.find("type");
    if (found == band.end()) {
        return kEqBell;
    }
    const auto word = found->get<std::string>(); // a non-text type throws the library's error
    if (word == "bell" || word == "Bell") {
        return kEqBell;
    }
    if (word == "lowShelf" || word == "LowShelf") {
        return kEqLowShelf;
    }
    if (word == "highShelf" || word == "HighShelf") {
        return kEqHighShelf;
    }
    throw std::runtime_error("Invalid EQ band type");
}

const char* bandTypeWord(int32_t type) {
    switch (type) {
    case kEqLowShelf:
        return "lowShelf";
    case kEqHighShelf:
        return "highShelf";
    default:
        return "bell";
    }
}

} // namespace

bool StripProcessing::isValid() const noexcept {
    if (!within(hpf.frequencyHz, 20.0, 2000.0)) {
        return false;
    }
    for (const EqBand& band : eq.bands) {
        if (band.type < kEqBell || band.type > kEqHighShelf ||
            !within(band.frequencyHz, 20.0, 20000.0) || !within(band.gainDb, -24.0, 24.0) ||
            !within(band.q, 0.1, 18.0)) {
            return false;
        }
    }
    return within(gate.thresholdDb, -100.0, 0.0) && within(gate.ratio, 1.0, 20.0) &&
           within(gate.rangeDb, 0.0, 90.0) && within(gate.kneeDb, 0.0, 24.0) &&
           within(gate.attackMs, 0.05, 200.0) && within(gate.holdMs, 0.0, 2000.0) &&
           within(gate.releaseMs, 1.0, 4000.0) && within(compressor.thresholdDb, -90.0, 0.0) &&
           within(compressor.ratio, 1.0, 40.0) && within(compressor.kneeDb, 0.0, 24.0) &&
           within(compressor.attackMs, 0.05, 1000.0) && within(compressor.releaseMs, 1.0, 4000.0) &&
           within(compressor.makeupDb, -24.0, 24.0);
}

bool readProcessorEnabled(const nlohmann::json& section, bool current) {
    if (!section.is_object()) {
        throw std::runtime_error("Invalid strip processor");
    }
    const auto found = section.find("enabled");
    if (found == section.end()) {
        return current;
    }
    if (!found->is_boolean()) {
        throw std::runtime_error("Processor enabled must be boolean");
    }
    return found->get<bool>();
}

StripProcessing parseStripProcessing(const nlohmann::json& value) {
    if (!value.is_object()) {
        throw std::runtime_error("Strip processing must be an object");
    }
    StripProcessing record;

    if (const auto hpf = value.find("hpf"); hpf != value.end()) {
        record.hpf.enabled = readProcessorEnabled(*hpf, record.hpf.enabled);
        readNumber(*hpf, "frequencyHz", record.hpf.frequencyHz);
    }

    if (const auto eq = value.find("eq"); eq != value.end()) {
        record.eq.enabled = readProcessorEnabled(*eq, record.eq.enabled);
        if (const auto bands = eq->find("bands"); bands != eq->end()) {
            if (!bands->is_array() || bands->size() != record.eq.bands.size()) {
                throw std::runtime_error("EQ requires four bands");
            }
            for (std::size_t i = 0; i < record.eq.bands.size(); ++i) {
                const nlohmann::json& source = (*bands)[i];
                EqBand& band = record.eq.bands[i];
                band.enabled = readProcessorEnabled(source, band.enabled);
                band.type = readBandType(source);
                readNumber(source, "frequencyHz", band.frequencyHz);
                readNumber(source, "gainDb", band.gainDb);
                readNumber(source, "q", band.q);
            }
        }
    }

    if (const auto gate = value.find("gate"); gate != value.end()) {
        auto& g = record.gate;
        g.enabled = readProcessorEnabled(*gate, g.enabled);
        readNumber(*gate, "thresholdDb", g.thresholdDb);
        readNumber(*gate, "ratio", g.ratio);
        readNumber(*gate, "rangeDb", g.rangeDb);
        readNumber(*gate, "kneeDb", g.kneeDb);
        readNumber(*gate, "attackMs", g.attackMs);
        readNumber(*gate, "holdMs", g.holdMs);
        readNumber(*gate, "releaseMs", g.releaseMs);
    }

    if (const auto compressor = value.find("compressor"); compressor != value.end()) {
        auto& c = record.compressor;
        c.enabled = readProcessorEnabled(*compressor, c.enabled);
        readNumber(*compressor, "thresholdDb", c.thresholdDb);
        readNumber(*compressor, "ratio", c.ratio);
        readNumber(*compressor, "kneeDb", c.kneeDb);
        readNumber(*compressor, "attackMs", c.attackMs);
        readNumber(*compressor, "releaseMs", c.releaseMs);
        readNumber(*compressor, "makeupDb", c.makeupDb);
    }

    if (!record.isValid()) {
        throw std::runtime_error("Strip parameter outside supported range");
    }
    return record;
}

nlohmann::json stripProcessingToJson(const StripProcessing& record) {
    nlohmann::json bands = nlohmann::json::array();
    for (const EqBand& band : record.eq.bands) {
        bands.push_back({{"enabled", band.enabled},
                         {"type", bandTypeWord(band.type)},
                         {"frequencyHz", band.frequencyHz},
                         {"gainDb", band.gainDb},
                         {"q", band.q}});
    }
    const auto& g = record.gate;
    const auto& c = record.compressor;
    return {
        {"hpf", {{"enabled", record.hpf.enabled}, {"frequencyHz", record.hpf.frequencyHz}}},
        {"eq", {{"enabled", record.eq.enabled}, {"bands", std::move(bands)}}},
        {"gate",
         {{"enabled", g.enabled},
          {"thresholdDb", g.thresholdDb},
          {"ratio", g.ratio},
          {"rangeDb", g.rangeDb},
          {"kneeDb", g.kneeDb},
          {"attackMs", g.attackMs},
          {"holdMs", g.holdMs},
          {"releaseMs", g.releaseMs}}},
        {"compressor",
         {{"enabled", c.enabled},
          {"thresholdDb", c.thresholdDb},
          {"ratio", c.ratio},
          {"kneeDb", c.kneeDb},
          {"attackMs", c.attackMs},
          {"releaseMs", c.releaseMs},
          {"makeupDb", c.makeupDb}}},
    };
}

} // namespace kestravon::ruvi
