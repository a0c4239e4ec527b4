#pragma once
// Member assignments planned against the held documents and applied together.
//
// An editing request checks everything first and plans each change as (object, key, value)
// without touching the documents; only once every check and the engine call have passed does
// commit() write them, in planned order. A refusal therefore leaves both documents exactly as
// they were, and a fader move costs what it changes, not a copy of a document of 128 strips.
//
// The planned objects must stay where they are until commit: plan against documents that
// nothing else edits in between (the UI thread owns them, one request at a time).

#include <nlohmann/json.hpp>

#include <string>
#include <utility>
#include <vector>

namespace kestravon::ruvi {

class DocumentEdits {
public:
    // `object` is a JSON object of a held document; `key` is set to `value` at commit.
    void assign(nlohmann::json& object, std::string key, nlohmann::json value) {
        edits_.push_back({&object, std::move(key), std::move(value)});
    }

    void commit() {
        for (Edit& edit : edits_) {
            (*edit.object)[edit.key] = std::move(edit.value);
        }
        edits_.clear();
    }

private:
    struct Edit {
        nlohmann::json* object;
        std::string key;
        nlohmann::json value;
    };
    std::vector<Edit> edits_;
};

} // namespace kestravon::ruvi
