#pragma once
// JSON text with one member that is already text.
//
// A large document that many replies carry (the shared UI document in every snapshot) is written
// once and reused, instead of being copied into each reply and written again.

#include <nlohmann/json.hpp>

#include <initializer_list>
#include <string>
#include <string_view>

namespace kestravon::ruvi {

// value.dump() as it would read with the member `key` set to the JSON value whose text is
// `memberText`, in the object reached from `value` through the member names of `path` (empty:
// `value` itself). `memberText` goes in as it is, so it must be what dump() wrote for that value;
// a member `key` already there is replaced. Throws std::invalid_argument when `value` or a member
// along `path` is not an object, and the json library's errors of dump().
std::string dumpWithMemberText(const nlohmann::json& value,
                               std::initializer_list<std::string_view> path, std::string_view key,
                               std::string_view memberText);

} // namespace kestravon::ruvi
