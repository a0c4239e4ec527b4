// Live controls: faders, processing, plug-in parameters, bypass, sends, UI patches.
//
// Every editing method keeps three things in step: the engine's live value, the applied native
// description and the shared UI document. Each checks the whole request and plans its document
// changes first (DocumentEdits), then calls the engine, and commits the plan only once the
// engine took the value; a refusal anywhere changes nothing held.

#include "app/application_impl.h"
#include "app/document_edits.h"
#include "app/json_read.h"
#include "app/local_path.h"
#include "app/scene_rules.h"
#include "app/session_document.h"
#include "app/strip_fields.h"
#include "app/ui_strips.h"

#include "engine/strip_processing.h"

#include <cmath>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using Impl = Application::Impl;

constexpr std::size_t kMaxPatchSends = 128;
constexpr std::size_t kMaxNameBytes = 192;
constexpr std::size_t kMaxRecorderDirectoryBytes = 4096;
// Device preferences: the endpoint lists and ids the device screen keeps, bounded so that no
// patch can grow the shared document.
constexpr std::size_t kMaxDeviceSelections = 64;
constexpr std::size_t kMaxEndpointIdBytes = 1024;
constexpr double kFaderMatchToleranceDb = 1e-7;

[[noreturn]] void fail(const char* text) {
    throw std::runtime_error(text);
}

void checkEngine(bool accepted, const std::string& error) {
    if (!accepted) {
        throw std::runtime_error(error);
    }
}

Json updatedReply(std::int64_t revision) {
    return {{"updated", true}, {"revision", revision}};
}

std::string readString(const Json& params, const char* key) {
    return params.at(key).get<std::string>();
}

// A number member; anything else throws the json library's type error.
double readNumber(const Json& params, const char* key) {
    const Json& value = params.at(key);
    if (!value.is_number()) {
        throw Json::type_error::create(
            302, std::string("type must be number, but is ") + value.type_name(), &value);
    }
    return value.get<double>();
}

bool isFiniteNumber(const Json& value) {
    return value.is_number() && std::isfinite(value.get<double>());
}

bool isFiniteInRange(const Json& value, double low, double high) {
    if (!isFiniteNumber(value)) {
        return false;
    }
    const double v = value.get<double>();
    return v >= low && v <= high;
}

bool fromRemote(const Json& params) {
    const auto it = params.find("_remote");
    return it != params.end() && it->is_boolean() && it->get<bool>();
}

const Json* findMember(const Json& object, const char* key) {
    if (!object.is_object()) {
        return nullptr;
    }
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// The "value" of a patch, null when it has none.
const Json& patchValue(const Json& patch) {
    static const Json kNone;
    const Json* value = findMember(patch, "value");
    return value != nullptr ? *value : kNone;
}

bool patchNames(const Json& patch, std::string_view entityId, std::string_view key) {
    const Json* entity = findMember(patch, "entityId");
    const Json* field = findMember(patch, "key");
    return entity != nullptr && entity->is_string() &&
           entity->get_ref<const std::string&>() == entityId && field != nullptr &&
           field->is_string() && field->get_ref<const std::string&>() == key;
}

// Every native node with the id, in description order.
template <typename Visit> void forEachNativeNode(Json& native, std::string_view id, Visit visit) {
    if (!native.is_object()) {
        return;
    }
    const auto nodes = native.find("nodes");
    if (nodes == native.end() || !nodes->is_array()) {
        return;
    }
    for (Json& node : *nodes) {
        if (entryId(node) == id) {
            visit(node);
        }
    }
}

// Every insert of `holder` ("inserts" an array) with the slot id.
template <typename Visit> bool forEachInsert(Json& holder, std::string_view slotId, Visit visit) {
    const auto inserts = holder.find("inserts");
    if (inserts == holder.end() || !inserts->is_array()) {
        return false;
    }
    bool matched = false;
    for (Json& insert : *inserts) {
        if (entryId(insert) == slotId) {
            matched = true;
            visit(insert);
        }
    }
    return matched;
}

// Sets one normalized parameter in an insert, as the editor-edit fold does: a "parameters" that
// is missing or not an object becomes an object.
void setInsertParameter(Json& insert, const std::string& key, double value) {
    Json& parameters = insert["parameters"];
    if (!parameters.is_object()) {
        parameters = Json::object();
    }
    parameters[key] = value;
}

void planInsertParameter(DocumentEdits& edits, Json& insert, const std::string& key, double value) {
    const auto parameters = insert.find("parameters");
    if (parameters != insert.end() && parameters->is_object()) {
        edits.assign(*parameters, key, value);
    } else {
        edits.assign(insert, "parameters", Json{{key, value}});
    }
}

// A copy of a strip's "inserts" (required) with every insert of the slot id changed by `change`;
// nothing when no insert has the slot id.
template <typename Change>
std::optional<Json> changedInserts(const Json& strip, std::string_view slotId, Change change) {
    Json inserts = strip.at("inserts");
    bool matched = false;
    if (inserts.is_array()) {
        for (Json& insert : inserts) {
            if (entryId(insert) == slotId) {
                matched = true;
                change(insert);
            }
        }
    }
    if (!matched) {
        return std::nullopt;
    }
    return inserts;
}

bool hasNulByte(std::string_view text) {
    return text.find('\0') != std::string_view::npos;
}

bool isStringOf(const Json& object, const char* key, std::initializer_list<const char*> words) {
    const Json* value = findMember(object, key);
    if (value == nullptr || !value->is_string()) {
        return false;
    }
    for (const char* word : words) {
        if (value->get_ref<const std::string&>() == word) {
            return true;
        }
    }
    return false;
}

// Recorder preferences: exactly "mode", "tap", "mainArmed" and "directory". A non-empty
// directory must also be a usable local path, whose own refusal is the reply.
void checkRecorderPreferences(const Json& value) {
    const auto bad = [] { fail("Invalid recorder preferences"); };
    if (!value.is_object() || value.size() != 4) {
        bad();
    }
    if (!isStringOf(value, "mode", {"multitrack", "stereo"}) ||
        !isStringOf(value, "tap", {"rawInput", "preFader", "postFader"})) {
        bad();
    }
    const Json* armed = findMember(value, "mainArmed");
    const Json* directory = findMember(value, "directory");
    if (armed == nullptr || !armed->is_boolean() || directory == nullptr ||
        !directory->is_string()) {
        bad();
    }
    const std::string& folder = directory->get_ref<const std::string&>();
    if (folder.size() > kMaxRecorderDirectoryBytes || hasNulByte(folder)) {
        bad();
    }
    if (!folder.empty()) {
        (void)localPathFromUtf8(folder);
    }
}

bool isEndpointId(const Json& value) {
    return value.is_string() && value.get_ref<const std::string&>().size() <= kMaxEndpointIdBytes &&
           !hasNulByte(value.get_ref<const std::string&>());
}

bool isEndpointSelectionList(const Json& value) {
    if (!value.is_array() || value.size() > kMaxDeviceSelections) {
        return false;
    }
    for (const Json& selection : value) {
        if (!selection.is_object()) {
            return false;
        }
        for (const auto& [name, member] : selection.items()) {
            const bool known = (name == "id" && isEndpointId(member)) ||
                               (name == "exclusive" && member.is_boolean());
            if (!known) {
                return false;
            }
        }
        if (!selection.contains("id")) {
            return false;
        }
    }
    return true;
}

// Device preferences: an object of the endpoint selections ("inputs", "outputs": lists of
// {"id", "exclusive"?}), the clock master's id, the requested rate and block and the start-up
// preference; no other member.
void checkDevicePreferences(const Json& value) {
    if (!value.is_object()) {
        fail("Invalid configuration");
    }
    for (const auto& [name, member] : value.items()) {
        const bool known =
            ((name == "inputs" || name == "outputs") && isEndpointSelectionList(member)) ||
            (name == "masterOutputId" && isEndpointId(member)) ||
            ((name == "requestedRate" || name == "requestedBlock") && isFiniteNumber(member)) ||
            (name == "autoStart" && member.is_boolean());
        if (!known) {
            fail("Invalid configuration");
        }
    }
}

// The held UI document's member, null when it has none.
const Json& heldMember(const Json& document, const char* key) {
    static const Json none;
    const auto found = document.is_object() ? document.find(key) : document.end();
    return found != document.end() ? *found : none;
}

bool isSessionKey(std::string_view key) {
    return key == "cueMode" || key == "safe" || key == "scenes" || key == "currentScene" ||
           key == "device" || key == "recorder";
}

bool isSharedField(std::string_view key) {
    return key == "arm" || key == "name" || isSessionKey(key);
}

} // namespace

Json Impl::setParameter(const Json& params) {
    checkBaseRevision(params, revision);
    const std::string nodeId = readString(params, "nodeId");
    const std::string key = readString(params, "key");
    const Json& raw = params.at("value");
    const double v = raw.is_boolean() ? (raw.get<bool>() ? 1.0 : 0.0) : readNumber(params, "value");
    const bool isSwitch = key == "mute" || key == "solo" || key == "polarity";
    const bool on = v != 0.0;
    const std::string field(uiFieldForNativeKey(key));
    const bool uiHeld = !uiSession.is_null();

    // A fader moved without a patch on a strip that sits in DCAs: the UI level is what remains
    // once the DCAs are taken off, or the next DCA move or recall would jump by their sum.
    // That level is the core's own, not a client's claim: it is not held to the UI range, and
    // the engine judges the value with its own range and words.
    std::optional<Json> patch;
    bool clientPatch = false;
    const auto given = params.find("uiPatch");
    if (given != params.end()) {
        if (!patchNames(*given, nodeId, field)) {
            fail("Scalar patch identity mismatch");
        }
        patch = patchValue(*given);
        clientPatch = true;
    } else if (key == "gainDb" && uiHeld && inAnyDca(uiSession, nodeId)) {
        patch = Json(v - dcaLevelSum(uiSession, nodeId));
    }

    if (clientPatch) {
        if (!isSwitch) {
            if (!isFiniteNumber(*patch)) {
                fail("Expected finite scalar");
            }
            const double p = patch->get<double>();
            if (key == "gainDb") {
                if (p < kUiFaderOffDb || p > kUiFaderMaxDb) {
                    fail("Fader outside range");
                }
                const double effective = effectiveFader(uiSession, nodeId, {p, false}).gainDb;
                if (!(std::abs(effective - v) <= kFaderMatchToleranceDb)) {
                    fail("Fader and native DCA gain differ");
                }
            } else if (p != v) {
                fail("Scalar patch differs from audio");
            }
        } else {
            if (!patch->is_boolean()) {
                fail("Expected boolean scalar");
            }
            if (key != "mute" && patch->get<bool>() != on) {
                fail("Scalar patch differs from audio");
            }
        }
    }

    DocumentEdits edits;
    if (uiHeld) {
        const Json uiValue = patch ? *patch : (isSwitch ? Json(on) : Json(v));
        const bool leaveStrip = key == "mute" && !patch;
        bool found = false;
        forEachUiStrip(uiSession, UiStripWalk::scalar, [&](Json& strip) {
            if (entryId(strip) != nodeId) {
                return;
            }
            found = true;
            if (!leaveStrip) {
                edits.assign(strip, field, uiValue);
            }
        });
        if (!found) {
            fail("Shared scalar strip missing");
        }
    }

    // The mute the node really plays once the fader or the mute switch lands.
    std::optional<bool> effectiveMute;
    if (patch && (key == "gainDb" || key == "mute")) {
        const Json* strip =
            uiHeld ? findLastUiStrip(uiSession, UiStripWalk::scalar, nodeId) : nullptr;
        if (strip == nullptr) {
            fail("Shared scalar strip missing");
        }
        StripFader fader;
        if (key == "gainDb") {
            fader = {patch->get<double>(), readStripFader(*strip).mute};
        } else {
            fader = {numberOr(*strip, "level", 0.0), patch->get<bool>()};
        }
        effectiveMute = effectiveFader(uiSession, nodeId, fader).mute;
        if (key == "mute" && *effectiveMute != on) {
            fail("Mute and native DCA state differ");
        }
    }

    forEachNativeNode(nativeSession, nodeId, [&](Json& node) {
        edits.assign(node, key, isSwitch ? Json(on) : Json(v));
        if (effectiveMute) {
            edits.assign(node, "mute", *effectiveMute);
        }
    });

    std::string error;
    checkEngine(graph.setParameter(nodeId, key, v, error), error);
    if (effectiveMute && key == "gainDb") {
        checkEngine(graph.setParameter(nodeId, "mute", *effectiveMute ? 1.0 : 0.0, error), error);
    }
    edits.commit();
    ++revision;
    return updatedReply(revision);
}

Json Impl::setStripProcessing(const Json& params) {
    checkBaseRevision(params, revision);
    const std::string nodeId = readString(params, "nodeId");
    const Json normalized = stripProcessingToJson(parseStripProcessing(params.at("processing")));

    const auto given = params.find("uiPatch");
    if (given != params.end()) {
        bool same = patchNames(*given, nodeId, "stripProcessing");
        if (same) {
            try {
                same =
                    stripProcessingToJson(parseStripProcessing(patchValue(*given))) == normalized;
            } catch (const std::exception&) {
                same = false;
            }
        }
        if (!same) {
            fail("Strip UI patch differs from audio");
        }
    }

    DocumentEdits edits;
    if (!uiSession.is_null()) {
        bool found = false;
        forEachUiStrip(uiSession, UiStripWalk::strip, [&](Json& strip) {
            if (entryId(strip) == nodeId) {
                found = true;
                edits.assign(strip, "stripProcessing", normalized);
            }
        });
        if (!found) {
            fail("Shared strip missing");
        }
    }
    bool native = false;
    forEachNativeNode(nativeSession, nodeId, [&](Json& node) {
        native = true;
        edits.assign(node, "stripProcessing", normalized);
    });
    if (!native) {
        fail("Native strip missing");
    }

    std::string error;
    checkEngine(graph.setStripProcessing(nodeId, normalized, error), error);
    edits.commit();
    ++revision;
    return updatedReply(revision);
}

Json Impl::setVstParameter(const Json& params) {
    checkBaseRevision(params, revision);
    const std::string nodeId = readString(params, "nodeId");
    const std::string slotId = readString(params, "slotId");
    const auto id = readUint64(params.at("parameterId"));
    if (!id || *id > UINT32_MAX) {
        fail("Invalid VST parameter ID");
    }
    const std::string key = std::to_string(*id);
    if (!isFiniteInRange(params.at("value"), 0.0, 1.0)) {
        fail("Normalized VST value outside [0,1]");
    }
    const double value = params.at("value").get<double>();

    DocumentEdits edits;
    const auto given = params.find("uiPatch");
    if (given != params.end()) {
        if (!patchNames(*given, nodeId, "inserts")) {
            fail("Invalid plugin UI patch");
        }
        bool found = false;
        forEachUiStrip(uiSession, UiStripWalk::strip, [&](Json& strip) {
            if (entryId(strip) != nodeId) {
                return;
            }
            found = true;
            auto inserts = changedInserts(
                strip, slotId, [&](Json& insert) { setInsertParameter(insert, key, value); });
            if (!inserts || *inserts != patchValue(*given)) {
                fail("Plugin patch changes unrelated settings");
            }
            edits.assign(strip, "inserts", std::move(*inserts));
        });
        if (!found) {
            fail("Shared plugin strip missing");
        }
    } else if (!uiSession.is_null()) {
        bool found = false;
        forEachUiStrip(uiSession, UiStripWalk::strip, [&](Json& strip) {
            if (entryId(strip) == nodeId) {
                found = forEachInsert(strip, slotId,
                                      [&](Json& insert) {
                                          planInsertParameter(edits, insert, key, value);
                                      }) ||
                        found;
            }
        });
        if (!found) {
            fail("Shared plugin slot missing");
        }
    }
    // Planned before the engine call, so a malformed entry refuses before audio changes.
    forEachNativeNode(nativeSession, nodeId, [&](Json& node) {
        forEachInsert(node, slotId,
                      [&](Json& insert) { planInsertParameter(edits, insert, key, value); });
    });

    std::string error;
    checkEngine(
        graph.setVstParameter(nodeId, slotId, static_cast<std::uint32_t>(*id), value, error),
        error);
    edits.commit();
    ++revision;
    return updatedReply(revision);
}

Json Impl::getVstParameters(const Json& params) const {
    const std::string slotId = readString(params, "slotId");
    const std::string nodeId = readString(params, "nodeId");
    return graph.insertParametersJson(nodeId, slotId);
}

Json Impl::setInsertBypass(const Json& params) {
    checkBaseRevision(params, revision);
    const std::string nodeId = readString(params, "nodeId");
    const std::string slotId = readString(params, "slotId");
    const bool bypass = params.at("bypass").get<bool>();

    DocumentEdits edits;
    const auto given = params.find("uiPatch");
    bool found = false;
    forEachUiStrip(uiSession, UiStripWalk::strip, [&](Json& strip) {
        if (entryId(strip) != nodeId) {
            return;
        }
        found = true;
        auto inserts =
            changedInserts(strip, slotId, [&](Json& insert) { insert["bypass"] = bypass; });
        if (!inserts) {
            fail("Applied plugin missing");
        }
        if (given != params.end() &&
            (!patchNames(*given, nodeId, "inserts") || *inserts != patchValue(*given))) {
            fail("Bypass patch changes unrelated settings");
        }
        edits.assign(strip, "inserts", std::move(*inserts));
    });
    if (!found) {
        fail("Shared plugin strip missing");
    }
    forEachNativeNode(nativeSession, nodeId, [&](Json& node) {
        forEachInsert(node, slotId, [&](Json& insert) { edits.assign(insert, "bypass", bypass); });
    });

    std::string error;
    checkEngine(graph.setInsertBypass(nodeId, slotId, bypass, error), error);
    edits.commit();
    ++revision;
    return updatedReply(revision);
}

Json Impl::setSendLevel(const Json& params) {
    const auto base = params.find("baseRevision");
    if (base != params.end() && !baseRevisionMatches(*base, revision)) {
        fail("Shared routing changed; refresh before editing a send");
    }
    const std::string nodeId = readString(params, "nodeId");
    const std::string destinationId = readString(params, "destinationId");
    const double gain = readNumber(params, "gainDb");

    DocumentEdits edits;
    bool routed = false;
    std::string tap = "postFader";
    forEachNativeNode(nativeSession, nodeId, [&](Json& node) {
        const auto routes = node.find("routes");
        if (routes == node.end() || !routes->is_array()) {
            return;
        }
        for (Json& route : *routes) {
            const Json* destination = findMember(route, "destinationId");
            if (destination == nullptr || *destination != destinationId) {
                continue;
            }
            routed = true;
            const Json* routeTap = findMember(route, "tap");
            tap = routeTap != nullptr && routeTap->is_string() ? routeTap->get<std::string>()
                                                               : std::string("postFader");
            edits.assign(route, "gainDb", gain);
        }
    });
    if (!routed) {
        fail("Send not in prepared session; apply routing first");
    }

    const auto given = params.find("uiPatch");
    if (given != params.end()) {
        if (uiSession.is_null() || !patchNames(*given, nodeId, "sends")) {
            fail("Invalid shared send patch");
        }
        const Json& sends = patchValue(*given);
        if (!sends.is_array() || sends.size() > kMaxPatchSends) {
            fail("Invalid shared sends");
        }
        std::set<std::string_view> seen;
        bool destinationSeen = false;
        for (const Json& send : sends) {
            const Json* bus = findMember(send, "busId");
            const Json* level = findMember(send, "level");
            const Json* pre = findMember(send, "pre");
            const Json* connected = findMember(send, "connected");
            if (bus == nullptr || !bus->is_string() || bus->get_ref<const std::string&>().empty() ||
                !seen.insert(bus->get_ref<const std::string&>()).second || level == nullptr ||
                !isFiniteInRange(*level, kUiFaderOffDb, kUiFaderMaxDb) || pre == nullptr ||
                !pre->is_boolean() || (connected != nullptr && !connected->is_boolean())) {
                fail("Invalid shared send value");
            }
            if (*bus != destinationId) {
                continue;
            }
            destinationSeen = true;
            const double uiLevel = level->get<double>();
            const double asNative = uiLevel <= kUiFaderOffDb ? kEngineGainMinDb : uiLevel;
            if (asNative != gain) {
                fail("Shared/native send gains differ");
            }
            if (tap == "rawInput" || pre->get<bool>() != (tap == "preFader") ||
                (connected != nullptr && !connected->get<bool>())) {
                fail("Send tap or connection changed; apply routing first");
            }
        }
        if (!destinationSeen) {
            fail("Shared send destination missing");
        }
        const double uiLevel = gain <= kEngineGainMinDb ? kUiFaderOffDb : gain;
        bool found = false;
        forEachUiStrip(uiSession, UiStripWalk::strip, [&](Json& strip) {
            if (entryId(strip) != nodeId) {
                return;
            }
            found = true;
            Json changed = strip.at("sends");
            bool matched = false;
            if (changed.is_array()) {
                for (Json& send : changed) {
                    const Json* bus = findMember(send, "busId");
                    if (bus != nullptr && *bus == destinationId) {
                        matched = true;
                        send["level"] = uiLevel;
                    }
                }
            }
            if (!matched || changed != sends) {
                fail("Send patch changes unrelated settings");
            }
            edits.assign(strip, "sends", std::move(changed));
        });
        if (!found) {
            fail("Shared send source missing");
        }
    }

    std::string error;
    checkEngine(graph.setSendLevel(nodeId, destinationId, gain, error), error);
    edits.commit();
    ++revision;
    return updatedReply(revision);
}

Json Impl::uiPatch(const Json& params) {
    checkBaseRevision(params, revision);
    if (uiSession.is_null()) {
        fail("No shared UI session applied");
    }
    const Json patch = params.at("uiPatch");
    const std::string entityId = readString(patch, "entityId");
    const std::string key = readString(patch, "key");
    const Json& value = patchValue(patch);

    // DCA faders and mutes move the engine gains of their members.
    Json* dcas = uiSession.is_object() && uiSession.contains("dcas") ? &uiSession["dcas"] : nullptr;
    const Json* dca = nullptr;
    if (dcas != nullptr && dcas->is_array() && (key == "level" || key == "mute")) {
        for (const Json& entry : *dcas) {
            if (entryId(entry) == entityId) {
                dca = &entry;
                break;
            }
        }
    }
    if (dca != nullptr) {
        if (key == "level" && !isFiniteInRange(value, kUiFaderOffDb, kUiFaderMaxDb)) {
            fail("Invalid DCA fader");
        }
        if (key == "mute" && !value.is_boolean()) {
            fail("Invalid DCA mute");
        }
        if (!graph.hasGraph()) {
            fail("Apply a graph before DCA control");
        }
        DocumentEdits edits;
        for (Json& entry : *dcas) {
            if (entryId(entry) == entityId) {
                edits.assign(entry, key, value);
            }
        }
        const DcaEdit pending{entityId, key, &value};
        struct Member {
            std::string id;
            EffectiveFader fader;
        };
        std::vector<Member> members;
        const Json& listed = dca->at("members");
        if (listed.is_array()) {
            for (const Json& member : listed) {
                if (!member.is_string()) {
                    continue;
                }
                const std::string& id = member.get_ref<const std::string&>();
                const Json* strip = findLastUiStrip(uiSession, UiStripWalk::member, id);
                if (strip == nullptr) {
                    fail("DCA member strip missing");
                }
                const EffectiveFader fader =
                    effectiveFader(uiSession, id, readStripFader(*strip), &pending);
                bool native = false;
                forEachNativeNode(nativeSession, id, [&](Json& node) {
                    native = true;
                    edits.assign(node, "gainDb", fader.gainDb);
                    edits.assign(node, "mute", fader.mute);
                });
                if (!native) {
                    fail("Native DCA member missing");
                }
                members.push_back({id, fader});
            }
        }
        std::string error;
        for (const Member& member : members) {
            checkEngine(graph.setParameter(member.id, "gainDb", member.fader.gainDb, error), error);
            checkEngine(graph.setParameter(member.id, "mute", member.fader.mute ? 1.0 : 0.0, error),
                        error);
        }
        edits.commit();
        ++revision;
        return updatedReply(revision);
    }

    const bool sessionKey = isSessionKey(key);
    if (sessionKey && entityId != "session") {
        fail("Session configuration patch identity mismatch");
    }
    if (key == "recorder") {
        checkRecorderPreferences(value);
    }
    if (key == "cueMode" && value != "PFL" && value != "AFL") {
        fail("Invalid cue mode");
    }
    if (key == "currentScene" &&
        !(value.is_string() && (value.get_ref<const std::string&>().empty() ||
                                isValidSceneId(value.get_ref<const std::string&>())))) {
        fail("Invalid current scene");
    }
    if (!isSharedField(key)) {
        fail("Unsupported shared field; audio controls require their native RPC");
    }
    if (key == "arm" && !value.is_boolean()) {
        fail("Arm must be boolean");
    }
    if (key == "name" &&
        !(value.is_string() && value.get_ref<const std::string&>().size() <= kMaxNameBytes)) {
        fail("Invalid strip name");
    }
    if (key == "device" || key == "recorder") {
        if (fromRemote(params)) {
            fail("Device selection and recording folder are local-only");
        }
        if (backend.status().running || isRecordingBusy()) {
            fail("Stop audio before changing configuration");
        }
    }
    if (key == "safe" && !isSafesDocument(value)) {
        fail("Invalid scene safes");
    }
    if (key == "scenes" && !isSceneListEdit(value, heldMember(uiSession, "scenes"))) {
        fail("Invalid scenes");
    }
    if ((key == "device" || key == "recorder") && !value.is_object()) {
        fail("Invalid configuration");
    }
    if (key == "device") {
        checkDevicePreferences(value);
    }

    if (entityId == "session") {
        if (!sessionKey) {
            fail("Invalid session patch");
        }
        uiSession[key] = value;
    } else {
        DocumentEdits edits;
        bool found = false;
        forEachUiStrip(uiSession, UiStripWalk::entity, [&](Json& strip) {
            if (entryId(strip) == entityId) {
                found = true;
                edits.assign(strip, key, value);
            }
        });
        if (!found) {
            fail("Shared entity missing");
        }
        edits.commit();
    }
    ++revision;
    return updatedReply(revision);
}

} // namespace kestravon::ruvi
