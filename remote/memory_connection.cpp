#include "remote/memory_connection.h"

#include <algorithm>
#include <cstring>

namespace kestravon::ruvi {

bool MemoryConnection::wait(bool, SteadyClock::time_point, const std::atomic<bool>* abortFlag) {
    return abortFlag == nullptr || abortFlag->load();
}

long MemoryConnection::receive(char* data, std::size_t size) {
    if (input_.empty()) {
        return 0;
    }
    std::string& front = input_.front();
    const std::size_t n = std::min(size, front.size());
    std::memcpy(data, front.data(), n);
    front.erase(0, n);
    if (front.empty()) {
        input_.pop_front();
    }
    return n == 0 ? wouldBlock : static_cast<long>(n);
}

void MemoryConnection::pushSplitInput(std::string_view input) {
    if (input.empty()) {
        return;
    }
    const std::size_t step = static_cast<unsigned char>(input[0]) % 64 + 1;
    for (std::size_t i = 1; i < input.size(); i += step) {
        input_.emplace_back(input.substr(i, step));
    }
}

long MemoryConnection::send(const char* data, std::size_t size) {
    output_.append(data, size);
    return static_cast<long>(size);
}

} // namespace kestravon::ruvi
