#pragma once
// A WavStream over bytes in memory, for parsing without a file.

#include "media/wav_header.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace kestravon::ruvi {

class WavMemoryStream final : public WavStream {
public:
    explicit WavMemoryStream(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t read(void* buffer, std::size_t size) override {
        const std::size_t left = position_ < bytes_.size() ? bytes_.size() - position_ : 0;
        const std::size_t n = std::min(size, left);
        if (n > 0) {
            std::memcpy(buffer, bytes_.data() + position_, n);
        }
        position_ += n;
        return n;
    }

    bool seek(std::int64_t offset) override {
        if (offset < 0) {
            return false;
        }
        position_ = static_cast<std::size_t>(offset);
        return true;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

} // namespace kestravon::ruvi
