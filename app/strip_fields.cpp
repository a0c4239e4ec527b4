#include "app/strip_fields.h"

#include "app/ui_strips.h"

#include <algorithm>
#include <string>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

bool isTrue(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_boolean() && it->get<bool>();
}

// Reads a DCA's level and mute, with a pending edit in place of the stored field.
StripFader readDca(const Json& dca, const DcaEdit* pending) {
    StripFader fader = readStripFader(dca);
    if (pending != nullptr && pending->value != nullptr && entryId(dca) == pending->dcaId) {
        if (pending->key == "level") {
            fader.levelDb = pending->value->get<double>();
        } else if (pending->key == "mute") {
            fader.mute = pending->value->get<bool>();
        }
    }
    return fader;
}

template <typename Visit>
void forEachDcaHolding(const Json& ui, std::string_view nodeId, Visit visit) {
    if (!ui.is_object()) {
        return;
    }
    const auto dcas = ui.find("dcas");
    if (dcas == ui.end() || !dcas->is_array()) {
        return;
    }
    for (const Json& dca : *dcas) {
        if (dca.is_object() && dcaContains(dca, nodeId)) {
            visit(dca);
        }
    }
}

} // namespace

std::string_view uiFieldForNativeKey(std::string_view nativeKey) noexcept {
    if (nativeKey == "gainDb") {
        return "level";
    }
    if (nativeKey == "trimDb") {
        return "trim";
    }
    return nativeKey;
}

double numberOr(const Json& object, const char* key, double fallback) {
    const auto it = object.find(key);
    if (it == object.end()) {
        return fallback;
    }
    if (!it->is_number()) {
        throw Json::type_error::create(
            302, std::string("type must be number, but is ") + it->type_name(), &*it);
    }
    return it->get<double>();
}

bool dcaContains(const Json& dca, std::string_view nodeId) noexcept {
    const auto members = dca.find("members");
    if (members == dca.end() || !members->is_array()) {
        return false;
    }
    return std::any_of(members->begin(), members->end(), [&](const Json& member) {
        return member.is_string() && member.get_ref<const std::string&>() == nodeId;
    });
}

StripFader readStripFader(const Json& strip) {
    return {numberOr(strip, "level", 0.0), isTrue(strip, "mute")};
}

EffectiveFader effectiveFader(const Json& ui, std::string_view nodeId, StripFader strip,
                              const DcaEdit* pending) {
    double gain = strip.levelDb;
    bool mute = strip.mute || strip.levelDb <= kUiFaderOffDb;
    forEachDcaHolding(ui, nodeId, [&](const Json& dca) {
        const StripFader fader = readDca(dca, pending);
        gain += fader.levelDb;
        mute = mute || fader.mute || fader.levelDb <= kUiFaderOffDb;
    });
    return {std::clamp(gain, kEngineGainMinDb, kEngineGainMaxDb), mute};
}

double dcaLevelSum(const Json& ui, std::string_view nodeId) {
    double sum = 0.0;
    forEachDcaHolding(ui, nodeId, [&](const Json& dca) { sum += numberOr(dca, "level", 0.0); });
    return sum;
}

bool inAnyDca(const Json& ui, std::string_view nodeId) noexcept {
    bool found = false;
    forEachDcaHolding(ui, nodeId, [&](const Json&) { found = true; });
    return found;
}

} // namespace kestravon::ruvi
