#include "audio/device_records.h"

#include <algorithm>
#include <array>

namespace kestravon::ruvi {

bool endpointInfoLess(const EndpointInfo& a, const EndpointInfo& b) {
    if (a.capture != b.capture) {
        return a.capture;
    }
    // std::string compares through char_traits<char>, which orders as unsigned bytes.
    return a.id < b.id;
}

std::string physicalLabelKey(std::string_view name, std::string_view id) {
    static constexpr std::array<std::string_view, 6> labels{"IN 1-2",  "IN 3-4",  "IN 1-4",
                                                            "OUT 1-2", "OUT 3-4", "OUT 1-4"};
    static constexpr std::string_view interfaceName = "BEHRINGER UMC 404HD 192k";
    const std::string fallback(id);
    if (name.size() < 2 || !name.ends_with(')')) {
        return fallback;
    }
    const std::size_t p = name.rfind(" (");
    if (p == std::string_view::npos) {
        return fallback;
    }
    const std::string_view label = name.substr(0, p);
    if (std::find(labels.begin(), labels.end(), label) == labels.end()) {
        return fallback;
    }
    const std::string_view unit = name.substr(p + 2, name.size() - p - 3);
    bool names = unit == interfaceName;
    if (!names) {
        const std::size_t dash = unit.find("- ");
        names = dash != std::string_view::npos && dash >= 1 &&
                unit.substr(dash + 2) == interfaceName &&
                std::all_of(unit.begin(), unit.begin() + static_cast<std::ptrdiff_t>(dash),
                            [](char c) { return c >= '0' && c <= '9'; });
    }
    return names ? "umc404hd-label:" + std::string(unit) : fallback;
}

} // namespace kestravon::ruvi
