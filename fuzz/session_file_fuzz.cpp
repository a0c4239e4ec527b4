// Feeds arbitrary bytes to the session file reader after the read: pre-scan, parse, envelope,
// payload rules and checksum. A payload it accepts must write back to a file that reads as the
// same payload, and that file must be its own canonical text.
#include "app/session_file_store.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestravon::ruvi;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    nlohmann::json payload;
    try {
        payload = sessionPayloadFromBytes(bytes);
    } catch (const std::exception&) {
        return 0;
    }
    const std::string written = sessionFileBytes(payload);
    if (sessionPayloadFromBytes(written) != payload ||
        nlohmann::json::parse(written).dump() != written) {
        __builtin_trap();
    }
    return 0;
}
