#pragma once
// Overwriting secrets before their memory is given back (strings and bytes: remote_crypto.h).

#include "remote/remote_crypto.h"

#include <nlohmann/json.hpp>

namespace kestravon::ruvi {

// Zeroes every string inside value (keys excepted), at any depth; used on parsed requests that
// may carry a password.
void wipeJsonStrings(nlohmann::json& value) noexcept;

} // namespace kestravon::ruvi
