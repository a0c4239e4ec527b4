#pragma once
// Strip fields shared by the live controls, the DCA faders and scene recall: how a native node
// key is named on a UI strip, and the fader and mute a strip really plays once the DCAs that
// hold it are added in.
//
// A UI level of -80 dB or below means "off": it mutes, whatever the mute switch says. The
// effective gain is what the engine's fader cell gets; the page never sees it.

#include <nlohmann/json.hpp>

#include <string_view>

namespace kestravon::ruvi {

inline constexpr double kUiFaderOffDb = -80.0;
inline constexpr double kUiFaderMaxDb = 10.0;
inline constexpr double kEngineGainMinDb = -120.0;
inline constexpr double kEngineGainMaxDb = 60.0;

// "gainDb" -> "level", "trimDb" -> "trim", any other key keeps its name.
std::string_view uiFieldForNativeKey(std::string_view nativeKey) noexcept;

// A number member, `fallback` when absent; any other type throws the json library's type error.
double numberOr(const nlohmann::json& object, const char* key, double fallback);

// Whether a DCA's "members" holds the node id as a string.
bool dcaContains(const nlohmann::json& dca, std::string_view nodeId) noexcept;

// One DCA field as it will stand once a pending edit lands: every DCA whose id is `dcaId` reads
// `key` ("level" or "mute") as `value`. Lets the DCA path check its members before it commits.
struct DcaEdit {
    std::string_view dcaId;
    std::string_view key;
    const nlohmann::json* value = nullptr;
};

// A strip's own fader and mute switch ("level" 0 and "mute" false when absent).
struct StripFader {
    double levelDb = 0.0;
    bool mute = false;
};

struct EffectiveFader {
    double gainDb = 0.0; // strip level plus every DCA holding the node, within -120..60
    bool mute = false;   // the strip or any DCA holding it muted or at "off"
};

StripFader readStripFader(const nlohmann::json& strip);

// `ui` is the document whose "dcas" apply (absent or not an array: none).
EffectiveFader effectiveFader(const nlohmann::json& ui, std::string_view nodeId, StripFader strip,
                              const DcaEdit* pending = nullptr);

// The sum of the levels of the DCAs that hold the node: what a fader move made without a UI
// patch must take off the engine gain to find the strip's own level.
double dcaLevelSum(const nlohmann::json& ui, std::string_view nodeId);
// Whether any DCA holds the node.
bool inAnyDca(const nlohmann::json& ui, std::string_view nodeId) noexcept;

} // namespace kestravon::ruvi
