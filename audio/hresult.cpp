#include "audio/hresult.h"

#include <cstdio>

namespace kestravon::ruvi {

std::string hresultText(HRESULT hr) {
    char text[32];
    std::snprintf(text, sizeof text, "HRESULT 0x%08lx",
                  static_cast<unsigned long>(static_cast<std::uint32_t>(hr)));
    return text;
}

} // namespace kestravon::ruvi
