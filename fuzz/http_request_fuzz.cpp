// Feeds arbitrary bytes to the HTTP request reader through a memory connection. The first byte
// sets the size of each read (1 to 64 bytes), so header terminators and bodies split across
// reads in every way.
#include "remote/http_request.h"
#include "remote/memory_connection.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestravon::ruvi;
    if (size == 0) {
        return 0;
    }
    const std::size_t step = data[0] % 64 + 1;
    MemoryConnection connection;
    for (std::size_t i = 1; i < size; i += step) {
        const std::size_t n = std::min(step, size - i);
        connection.pushInput(std::string(reinterpret_cast<const char*>(data + i), n));
    }
    HttpRequest request;
    if (readHttpRequest(connection, request, nullptr)) {
        (void)findHeader(request, "host");
        (void)headerHasToken(findHeader(request, "connection"), "upgrade");
    }
    return 0;
}
