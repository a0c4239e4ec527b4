#pragma once
// The walks over the strips of the shared UI document.
//
// The page owns most of the UI document, and a session file or a scene state can carry anything
// that parses. So every walk visits only what it can use: a container that is not an array (or a
// single strip that is not an object) is passed over, so is an entry that is not an object, and
// an entry whose "id" is not a string matches no id. A malformed entry is then left as it is
// instead of failing the request half-way through a document.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

namespace kestravon::ruvi {

// Which containers a walk visits, arrays first, then the single strips, each in table order.
enum class UiStripWalk {
    scalar, // channels, aux, groups, matrices, returns; master, mono, monitor
    strip,  // channels, aux, groups, matrices, returns; master, mono (the session document order)
    entity, // channels, aux, groups, matrices, dcas, returns; master, mono, monitor
    member, // channels, aux, groups, matrices, returns
};

struct UiStripContainers {
    std::span<const std::string_view> arrays;
    std::span<const std::string_view> singles;
};

UiStripContainers uiStripContainers(UiStripWalk walk) noexcept;

// An entry's id (a strip, a DCA, a native node or an insert): its "id" string, "" when it has
// none; nothing when the entry is not an object or its "id" is not a string.
std::optional<std::string_view> entryId(const nlohmann::json& entry) noexcept;

// Whether the entry is an object whose id (as above) is `id`, byte for byte.
bool entryHasId(const nlohmann::json& entry, std::string_view id) noexcept;

// Calls visit(strip) for every object strip of the walk, in walk order. `document` is a
// nlohmann::json, const or not; a document that is not an object has no strips.
template <typename Document, typename Visit>
void forEachUiStrip(Document& document, UiStripWalk walk, Visit&& visit) {
    static_assert(std::is_same_v<std::remove_const_t<Document>, nlohmann::json>);
    if (!document.is_object()) {
        return;
    }
    const UiStripContainers containers = uiStripContainers(walk);
    for (const std::string_view name : containers.arrays) {
        const auto found = document.find(name);
        if (found == document.end() || !found->is_array()) {
            continue;
        }
        for (auto& entry : *found) {
            if (entry.is_object()) {
                visit(entry);
            }
        }
    }
    for (const std::string_view name : containers.singles) {
        const auto found = document.find(name);
        if (found != document.end() && found->is_object()) {
            visit(*found);
        }
    }
}

// Calls visit(strip) for every strip of the walk whose id is `id`; returns how many matched.
template <typename Document, typename Visit>
std::size_t forEachUiStripWithId(Document& document, UiStripWalk walk, std::string_view id,
                                 Visit&& visit) {
    std::size_t matches = 0;
    forEachUiStrip(document, walk, [&](auto& strip) {
        if (entryHasId(strip, id)) {
            ++matches;
            visit(strip);
        }
    });
    return matches;
}

// The last strip of the walk whose id is `id` (so a single strip wins over the arrays), or null.
nlohmann::json* findLastUiStrip(nlohmann::json& document, UiStripWalk walk, std::string_view id);
const nlohmann::json* findLastUiStrip(const nlohmann::json& document, UiStripWalk walk,
                                      std::string_view id);

} // namespace kestravon::ruvi
