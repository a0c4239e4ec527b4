#pragma once
// A WavStream over a POSIX file descriptor. One thread uses an instance at a time.

#include "media/wav_header.h"

#include <string>

namespace kestravon::ruvi {

class WavFileStream final : public WavStream {
public:
    WavFileStream() = default;
    ~WavFileStream() override;
    WavFileStream(const WavFileStream&) = delete;
    WavFileStream& operator=(const WavFileStream&) = delete;

    // Opens a regular file for reading; false at once for anything else (missing, directory,
    // FIFO, device), without waiting on it.
    [[nodiscard]] bool open(const std::string& path);
    void close();
    bool isOpen() const { return fd_ >= 0; }

    std::size_t read(void* buffer, std::size_t size) override;
    bool seek(std::int64_t offset) override;

private:
    int fd_ = -1;
};

} // namespace kestravon::ruvi
