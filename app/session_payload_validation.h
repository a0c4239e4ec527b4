#pragma once
// What a session payload must satisfy before it is written to or accepted from a session file:
// its shape, bounded nesting and finite values, and the identity rules the control core relies on
// (unique node ids, unique scene ids, scene states that belong to listed scenes). Everything else
// is left to the graph compiler and the methods that apply the documents.
//
// Stateless; callable from any thread on a payload no other thread touches.

#include <nlohmann/json.hpp>

namespace kestravon::ruvi {

// Returns normally or throws a runtime error with the first broken rule's message (the json
// library's type error for a "native" "format" that is not a string).
void validateSessionPayload(const nlohmann::json& payload);

// The nesting and value walk: containers at most 64 levels deep counting the payload as level 2,
// no binary or discarded values, no NaN or infinite numbers. Iterative, so a deep value cannot
// exhaust the call stack.
void validateSessionJsonValues(const nlohmann::json& payload);

} // namespace kestravon::ruvi
