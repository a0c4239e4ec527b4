#include "shell/secret_wipe.h"

#include <vector>

namespace kestravon::ruvi {

void wipeJsonStrings(nlohmann::json& value) noexcept {
    // Iterative, so a deep value cannot exhaust the stack.
    std::vector<nlohmann::json*> work{&value};
    try {
        while (!work.empty()) {
            nlohmann::json* item = work.back();
            work.pop_back();
            if (item->is_string()) {
                wipeString(item->get_ref<std::string&>());
            } else if (item->is_structured()) {
                for (auto& child : *item) {
                    work.push_back(&child);
                }
            }
        }
    } catch (...) {
    }
}

} // namespace kestravon::ruvi
