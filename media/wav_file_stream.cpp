#include "media/wav_file_stream.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestravon::ruvi {

WavFileStream::~WavFileStream() {
    close();
}

bool WavFileStream::open(const std::string& path) {
    close();
    // Opened without blocking: a FIFO would otherwise wait in open() for a writer that never
    // comes, holding up the loading job, its cancel and shut-down with it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    // A directory opens for reading on Linux; only regular files hold WAV data.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void WavFileStream::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::size_t WavFileStream::read(void* buffer, std::size_t size) {
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (fd_ >= 0 && done < size) {
        const ssize_t n = ::read(fd_, out + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

bool WavFileStream::seek(std::int64_t offset) {
    return fd_ >= 0 && offset >= 0 && ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == offset;
}

} // namespace kestravon::ruvi
