#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kestravon::ruvi {

// An open take file (track WAV, journal or manifest). Owns the descriptor and closes it on
// destruction; move-only.
class RecordingFile {
public:
    RecordingFile() = default;
    explicit RecordingFile(int fd) noexcept : fd_(fd) {}
    RecordingFile(RecordingFile&& other) noexcept : fd_(other.release()) {}
    RecordingFile& operator=(RecordingFile&& other) noexcept;
    RecordingFile(const RecordingFile&) = delete;
    RecordingFile& operator=(const RecordingFile&) = delete;
    ~RecordingFile() { close(); }

    [[nodiscard]] bool isOpen() const noexcept { return fd_ >= 0; }
    [[nodiscard]] int fd() const noexcept { return fd_; }
    int release() noexcept;
    void close() noexcept;

private:
    int fd_ = -1;
};

// Largest piece handed to one write call.
inline constexpr std::uint64_t kRecordingWritePiece = 1073741824;

// Raises `text` followed by " (system error N)" with the calling thread's errno.
[[noreturn]] void throwRecordingIoError(const std::string& text);

// Creates a new file for reading and writing that must not exist yet.
// Failure: "Cannot open recording file".
RecordingFile openRecordingFile(const std::string& path);

// Writes all `count` bytes in pieces of at most 1 GiB. Failure: "Recording write failed".
void writeRecordingBytes(const RecordingFile& file, const void* bytes, std::uint64_t count);

// Flushes the file's data and size to disk (fsync). Failure: "Recording flush failed".
void flushRecordingFile(const RecordingFile& file);

// Flushes everything written to the file system that holds `file` (syncfs): one flush for all
// the track files of a take instead of one per file. Failure: "Recording flush failed".
void flushRecordingFileSystem(const RecordingFile& file);

// Replaces `folder`/`name` with `bytes` so that a reader sees the old content or the new, never
// a torn file: a temporary beside it is written and flushed, renamed over it, and the folder is
// flushed. Throws the texts above ("Recording rename failed" for the rename); on failure the old
// file stays and the temporary is removed.
void replaceTakeFileAtomically(const std::string& folder, const std::string& name,
                               const std::string& bytes);

// "Recording preparation cancelled; partial take retained" when `cancel` exists and says so.
void throwIfPreparationCancelled(const std::function<bool()>& cancel);

} // namespace kestravon::ruvi
