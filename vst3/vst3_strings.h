#pragma once

#include "pluginterfaces/vst/vsttypes.h"

#include <string>

namespace kestravon::ruvi {

// UTF-8 of an SDK string (at most 128 units, up to the first zero); unpaired surrogates
// become U+FFFD.
std::string utf16ToUtf8(const Steinberg::Vst::String128 text);

} // namespace kestravon::ruvi
