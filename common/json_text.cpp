#include "common/json_text.h"

#include <stdexcept>

namespace kestravon::ruvi {
namespace {

// The library's compact form of an object, member by member: '{', then for each member in its
// (sorted) order the quoted key, ':' and the value, separated by ','; then '}'. Only the objects
// along the path are written here; every other value is written by dump() itself.
void writeObject(const nlohmann::json& object, const std::string_view* path,
                 const std::string_view* pathEnd, std::string_view key, std::string_view text,
                 std::string& out) {
    if (!object.is_object()) {
        throw std::invalid_argument("JSON member path does not name an object");
    }
    if (path != pathEnd && object.find(*path) == object.end()) {
        throw std::invalid_argument("JSON member path does not name an object");
    }
    bool first = true;
    const auto startMember = [&](std::string_view name) {
        if (!first) {
            out += ',';
        }
        first = false;
        out += nlohmann::json(name).dump();
        out += ':';
    };
    const bool here = path == pathEnd;
    bool placed = false;
    out += '{';
    for (auto member = object.begin(); member != object.end(); ++member) {
        const std::string& name = member.key();
        if (here && !placed && std::string_view(name) >= key) {
            startMember(key);
            out += text;
            placed = true;
            if (name == key) {
                continue;
            }
        }
        startMember(name);
        if (!here && name == *path) {
            writeObject(member.value(), path + 1, pathEnd, key, text, out);
        } else {
            out += member.value().dump();
        }
    }
    if (here && !placed) {
        startMember(key);
        out += text;
    }
    out += '}';
}

} // namespace

std::string dumpWithMemberText(const nlohmann::json& value,
                               std::initializer_list<std::string_view> path, std::string_view key,
                               std::string_view memberText) {
    std::string out;
    out.reserve(memberText.size() + 64 * 1024);
    writeObject(value, path.begin(), path.end(), key, memberText, out);
    return out;
}

} // namespace kestravon::ruvi
