#include "app/ui_strips.h"

#include <array>

namespace kestravon::ruvi {
namespace {

using namespace std::string_view_literals;

constexpr std::array kBandArrays = {"channels"sv, "aux"sv, "groups"sv, "matrices"sv, "returns"sv};
// DCAs are entities of their own for general fields, walked before the returns.
constexpr std::array kEntityArrays = {"channels"sv, "aux"sv,  "groups"sv,
                                      "matrices"sv, "dcas"sv, "returns"sv};
constexpr std::array kWithMonitor = {"master"sv, "mono"sv, "monitor"sv};
constexpr std::array kMainBuses = {"master"sv, "mono"sv};

template <typename Document>
auto* findLast(Document& document, UiStripWalk walk, std::string_view id) {
    decltype(&document) last = nullptr;
    forEachUiStrip(document, walk, [&](auto& strip) {
        if (entryHasId(strip, id)) {
            last = &strip;
        }
    });
    return last;
}

} // namespace

UiStripContainers uiStripContainers(UiStripWalk walk) noexcept {
    switch (walk) {
    case UiStripWalk::scalar:
        return {kBandArrays, kWithMonitor};
    case UiStripWalk::strip:
        return {kBandArrays, kMainBuses};
    case UiStripWalk::entity:
        return {kEntityArrays, kWithMonitor};
    case UiStripWalk::member:
        return {kBandArrays, {}};
    }
    return {};
}

std::optional<std::string_view> entryId(const nlohmann::json& entry) noexcept {
    if (!entry.is_object()) {
        return std::nullopt;
    }
    const auto found = entry.find("id");
    if (found == entry.end()) {
        return std::string_view();
    }
    if (!found->is_string()) {
        return std::nullopt;
    }
    return std::string_view(found->get_ref<const std::string&>());
}

bool entryHasId(const nlohmann::json& entry, std::string_view id) noexcept {
    const auto own = entryId(entry);
    return own && *own == id;
}

nlohmann::json* findLastUiStrip(nlohmann::json& document, UiStripWalk walk, std::string_view id) {
    return findLast(document, walk, id);
}

const nlohmann::json* findLastUiStrip(const nlohmann::json& document, UiStripWalk walk,
                                      std::string_view id) {
    return findLast(document, walk, id);
}

} // namespace kestravon::ruvi
