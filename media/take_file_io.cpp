#include "media/take_file_io.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace kestravon::ruvi {

RecordingFile& RecordingFile::operator=(RecordingFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

int RecordingFile::release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void RecordingFile::close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void throwRecordingIoError(const std::string& text) {
    const int error = errno;
    throw std::runtime_error(text + " (system error " + std::to_string(error) + ")");
}

RecordingFile openRecordingFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        throwRecordingIoError("Cannot open recording file");
    }
    return RecordingFile(fd);
}

void writeRecordingBytes(const RecordingFile& file, const void* bytes, std::uint64_t count) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    while (count > 0) {
        const auto piece = static_cast<std::size_t>(std::min(count, kRecordingWritePiece));
        const ssize_t done = ::write(file.fd(), p, piece);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            if (done == 0) {
                errno = EIO;
            }
            throwRecordingIoError("Recording write failed");
        }
        // A short write is retried: the next call reports why the rest did not fit.
        p += done;
        count -= static_cast<std::uint64_t>(done);
    }
}

void flushRecordingFile(const RecordingFile& file) {
    if (::fsync(file.fd()) != 0) {
        throwRecordingIoError("Recording flush failed");
    }
}

void flushRecordingFileSystem(const RecordingFile& file) {
    if (::syncfs(file.fd()) != 0) {
        throwRecordingIoError("Recording flush failed");
    }
}

void replaceTakeFileAtomically(const std::string& folder, const std::string& name,
                               const std::string& bytes) {
    const std::string target = folder + "/" + name;
    const std::string temporary = target + ".tmp";
    // A temporary left by a crash is this file's own; it would block the exclusive create.
    ::unlink(temporary.c_str());
    struct RemoveUnlessRenamed {
        const std::string& path;
        bool renamed = false;
        ~RemoveUnlessRenamed() {
            if (!renamed) {
                const int saved = errno;
                ::unlink(path.c_str());
                errno = saved;
            }
        }
    } guard{temporary};
    {
        const RecordingFile file = openRecordingFile(temporary);
        writeRecordingBytes(file, bytes.data(), bytes.size());
        flushRecordingFile(file);
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        throwRecordingIoError("Recording rename failed");
    }
    guard.renamed = true;
    const RecordingFile directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.isOpen()) {
        throwRecordingIoError("Recording flush failed");
    }
    flushRecordingFile(directory);
}

void throwIfPreparationCancelled(const std::function<bool()>& cancel) {
    if (cancel && cancel()) {
        throw std::runtime_error("Recording preparation cancelled; partial take retained");
    }
}

} // namespace kestravon::ruvi
