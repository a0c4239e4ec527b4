#include "remote/bounded_json.h"

#include <stdexcept>

namespace kestravon::ruvi {

nlohmann::json boundedJson(std::string_view text) {
    // The depth handed to a start event is the number of containers already open around it, so
    // the 65th nested container is the first to see 64.
    const nlohmann::json::parser_callback_t limit =
        [](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
            if ((event == nlohmann::json::parse_event_t::object_start ||
                 event == nlohmann::json::parse_event_t::array_start) &&
                depth >= maxJsonNesting) {
                throw std::runtime_error("JSON nesting limit");
            }
            return true;
        };
    return nlohmann::json::parse(text.begin(), text.end(), limit);
}

} // namespace kestravon::ruvi
