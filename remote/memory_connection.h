#pragma once

#include "remote/connection.h"

#include <deque>
#include <string>
#include <string_view>

namespace kestravon::ruvi {

// A connection over memory: each queued chunk is what one receive returns, the end of the queue
// reads as the peer closing, and everything sent is collected in output(). Tests and fuzz targets
// drive the wire code through it without a socket.
class MemoryConnection final : public Connection {
public:
    void pushInput(std::string chunk) { input_.push_back(std::move(chunk)); }
    // Queues a fuzz input: its first byte sets the size of every read (1 to 64 bytes), so
    // terminators and payloads split across reads in every way.
    void pushSplitInput(std::string_view input);
    const std::string& output() const noexcept { return output_; }

    [[nodiscard]] bool wait(bool forWrite, SteadyClock::time_point deadline,
                            const std::atomic<bool>* abortFlag) override;
    long receive(char* data, std::size_t size) override;
    long send(const char* data, std::size_t size) override;

private:
    std::deque<std::string> input_;
    std::string output_;
};

} // namespace kestravon::ruvi
