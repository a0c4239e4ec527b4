#pragma once
// Overwriting secrets before their memory is given back.

#include <nlohmann/json.hpp>

#include <string>

namespace kestravon::ruvi {

// Zeroes the bytes and empties the string.
void wipeString(std::string& text) noexcept;
void wipeBytes(void* data, std::size_t size) noexcept;
// Zeroes every string inside value (keys excepted), at any depth; used on parsed requests that
// may carry a password.
void wipeJsonStrings(nlohmann::json& value) noexcept;

} // namespace kestravon::ruvi
