// Feeds arbitrary bytes to the HTTP request reader through a memory connection. The first byte
// sets the size of each read (1 to 64 bytes), so header terminators and bodies split across
// reads in every way.
#include "remote/http_request.h"
#include "remote/memory_connection.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestravon::ruvi;
    MemoryConnection connection;
    connection.pushSplitInput(std::string_view(reinterpret_cast<const char*>(data), size));
    HttpRequest request;
    if (readHttpRequest(connection, request, nullptr)) {
        (void)findHeader(request, "host");
        (void)headerHasToken(findHeader(request, "connection"), "upgrade");
    }
    return 0;
}
