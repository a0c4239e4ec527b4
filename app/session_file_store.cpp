// The session file store: canonical text, checksum, atomic replace and the bounded reader.

#include "app/session_file_store.h"
#include "app/session_payload_validation.h"

#include <openssl/evp.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <limits>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

// Advanced once per attempt of every save in the process; the first name drawn uses 1.
std::atomic<std::uint64_t> temporaryNameCounter{1};

constexpr int kMaxLinkHops = 40; // as the kernel's own limit for a path lookup

int syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    const int result = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return result;
}

std::atomic<SessionFolderSync> folderSync{&syncFolder};

[[noreturn]] void throwRuntimeError(const std::string& message) {
    throw std::runtime_error(message);
}

// The store's messages end with a full stop, so the errno suffix closes with one too.
[[noreturn]] void throwSystemError(const std::string& message) {
    const int error = errno;
    throw std::runtime_error(message + " (system error " + std::to_string(error) + ").");
}

class FileCloser {
public:
    explicit FileCloser(int fd) noexcept : fd_(fd) {}
    ~FileCloser() { closeFileHandle(); }
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;
    int fd() const noexcept { return fd_; }
    // Marks the descriptor closed before closing it, so no path closes it twice.
    int closeFileHandle() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd >= 0 ? ::close(fd) : 0;
    }

private:
    int fd_;
};

// Deletes an unfinished temporary file unless the save reached its rename.
class TemporaryFileGuard {
public:
    explicit TemporaryFileGuard(std::string path) : path_(std::move(path)) {}
    ~TemporaryFileGuard() {
        if (armed_) {
            ::unlink(path_.c_str());
        }
    }
    TemporaryFileGuard(const TemporaryFileGuard&) = delete;
    TemporaryFileGuard& operator=(const TemporaryFileGuard&) = delete;
    void disarm() noexcept { armed_ = false; }

private:
    std::string path_;
    bool armed_ = true;
};

std::string absolutePathOf(const std::string& path) {
    if (!path.empty() && path.front() == '/') {
        return path;
    }
    std::array<char, 4096> buffer{};
    if (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        throwSystemError("Cannot create temporary session file");
    }
    std::string folder = buffer.data();
    if (folder.back() != '/') {
        folder += '/';
    }
    return folder + path;
}

std::string joinFolder(const std::string& folder, const std::string& name) {
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The file a save replaces: the target itself, or, through every symbolic link on the way, the
// file the link names (which need not exist yet). A link is kept; what it points to is saved.
std::string replacedFile(const std::string& target) {
    std::string path = target;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return path;
        }
        std::array<char, 4096> buffer{};
        const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (n < 0 || static_cast<std::size_t>(n) >= buffer.size()) {
            if (n >= 0) {
                errno = ENAMETOOLONG;
            }
            throwSystemError("Cannot create temporary session file");
        }
        const std::string link(buffer.data(), static_cast<std::size_t>(n));
        path =
            !link.empty() && link.front() == '/' ? link : joinFolder(sessionFolderOf(path), link);
    }
    errno = ELOOP;
    throwSystemError("Cannot create temporary session file");
}

// Brackets are counted outside strings only; pairing '[' with ']' is left to the parser.
void preScanBrackets(std::string_view bytes) {
    std::uint32_t depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kSessionMaxNesting) {
                throwRuntimeError("Session nesting exceeds 64 levels.");
            }
        } else if (c == ']' || c == '}') {
            if (depth == 0) {
                throwRuntimeError("Invalid session JSON structure.");
            }
            --depth;
        }
    }
    if (depth != 0 || inString) {
        throwRuntimeError("Truncated session JSON.");
    }
}

bool isLowerHexDigest(const Json& value) {
    if (!value.is_string()) {
        return false;
    }
    const auto& text = value.get_ref<const std::string&>();
    if (text.size() != 64) {
        return false;
    }
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

// The envelope as the json library serialises it: members in sorted order, no whitespace. The
// payload text is spliced in rather than serialised a second time.
std::string envelopeText(const std::string& payloadText, const std::string& digest) {
    std::string text;
    text.reserve(payloadText.size() + 128);
    text += "{\"format\":\"";
    text += kSessionFormat;
    text += "\",\"payload\":";
    text += payloadText;
    text += ",\"sha256\":\"";
    text += digest;
    text += "\",\"version\":1}";
    return text;
}

} // namespace

void requireExactFields(const Json& value, std::initializer_list<std::string_view> names,
                        std::string_view what) {
    if (!value.is_object() || value.size() != names.size()) {
        throwRuntimeError("Invalid " + std::string(what) + " fields.");
    }
    for (const auto name : names) {
        if (value.find(name) == value.end()) {
            throwRuntimeError("Missing " + std::string(what) + " field: " + std::string(name) +
                              ".");
        }
    }
}

std::string sha256Hex(std::string_view bytes) {
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        throwRuntimeError("Session is too large to hash.");
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
            1 ||
        length != 32) {
        throwRuntimeError("Cannot hash session payload.");
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text(64, '0');
    for (std::size_t i = 0; i < 32; ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 0x0f];
    }
    return text;
}

std::string sessionFolderOf(const std::string& absolutePath) {
    const auto slash = absolutePath.find_last_of('/');
    if (slash == std::string::npos) {
        return "/";
    }
    const auto end = absolutePath.find_last_not_of('/', slash);
    return end == std::string::npos ? std::string("/") : absolutePath.substr(0, end + 1);
}

void setSessionFolderSync(SessionFolderSync sync) noexcept {
    folderSync.store(sync != nullptr ? sync : &syncFolder);
}

std::string writeSessionFileAtomically(const std::string& path, std::string_view bytes) {
    const std::string target = replacedFile(absolutePathOf(path));
    const std::string folder = sessionFolderOf(target);
    const std::string prefix = ".kestavel-save-" + std::to_string(::getpid()) + "-" +
                               std::to_string(static_cast<long>(::gettid())) + "-";
    // The file being replaced keeps its permission bits instead of taking the umask's.
    struct stat replaced {};
    const bool keepMode = ::stat(target.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode);

    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 32 && fd < 0; ++attempt) {
        temporary =
            joinFolder(folder, prefix + std::to_string(temporaryNameCounter.fetch_add(1)) + ".tmp");
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            throwSystemError("Cannot create temporary session file");
        }
    }
    if (fd < 0) {
        throwRuntimeError("Cannot obtain a unique temporary session file.");
    }
    // The guard outlives the closer, so on a failure the descriptor is closed before the unlink.
    TemporaryFileGuard guard(temporary);
    FileCloser file(fd);
    if (keepMode && ::fchmod(file.fd(), replaced.st_mode & 07777) != 0) {
        throwSystemError("Cannot create temporary session file");
    }

    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t done = ::write(file.fd(), p, left);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0) {
            throwSystemError("Cannot write session file");
        }
        if (done == 0) {
            throwRuntimeError("Session write made no progress.");
        }
        // A short write is retried with the rest: the next call says why it did not fit.
        p += done;
        left -= static_cast<std::size_t>(done);
    }
    if (::fsync(file.fd()) != 0) {
        throwSystemError("Cannot flush session file");
    }
    if (file.closeFileHandle() != 0) {
        throwSystemError("Cannot close the session file");
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        throwSystemError("Cannot atomically replace session file");
    }
    guard.disarm();
    // The new file stands from here on; the rename is durable only once the folder's entry is
    // on disk, and a folder that cannot be flushed leaves that in doubt, nothing more.
    const int error = folderSync.load()(folder);
    if (error != 0) {
        return "Session saved, but its folder could not be flushed to disk (system error " +
               std::to_string(error) + "); the save may not survive a power failure.";
    }
    return {};
}

std::string readSessionBytes(const std::string& path) {
    // Without O_NONBLOCK the open of a FIFO waits for a writer that may never come.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throwSystemError("Cannot open session file");
    }
    FileCloser file(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        throwSystemError("Cannot read session size");
    }
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        throwSystemError("Cannot open session file");
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        throwSystemError("Cannot open session file");
    }
    if (st.st_size < 1 || static_cast<std::uint64_t>(st.st_size) > kSessionFileMaxBytes) {
        throwRuntimeError("Session file must contain 1 byte to 64 MiB.");
    }
    std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throwSystemError("Cannot read session file");
        }
        if (n == 0) {
            throwRuntimeError("Session file was truncated during reading.");
        }
        done += static_cast<std::size_t>(n);
    }
    return bytes;
}

Json sessionPayloadFromBytes(std::string_view bytes) {
    // The parser would end its input at a raw NUL and leave the rest unread; strict JSON never
    // holds one (inside a string it is escaped).
    if (bytes.find('\0') != std::string_view::npos) {
        throwRuntimeError("Session file contains a NUL byte.");
    }
    preScanBrackets(bytes);
    Json envelope = Json::parse(bytes.begin(), bytes.end(), nullptr, true, false);
    requireExactFields(envelope, {"format", "version", "payload", "sha256"}, "session envelope");
    const Json& format = envelope.at("format");
    const Json& version = envelope.at("version");
    if (!format.is_string() || format.get_ref<const std::string&>() != kSessionFormat ||
        !version.is_number_integer() || version != 1) {
        throwRuntimeError("Unsupported session format or version.");
    }
    const Json& checksum = envelope.at("sha256");
    if (!isLowerHexDigest(checksum)) {
        throwRuntimeError("Invalid session checksum.");
    }
    Json& payload = envelope.at("payload");
    validateSessionPayload(payload);
    if (sha256Hex(payload.dump()) != checksum.get_ref<const std::string&>()) {
        throwRuntimeError("Session checksum does not match its payload.");
    }
    return std::move(payload);
}

Json loadSessionFile(const std::string& path) {
    try {
        return sessionPayloadFromBytes(readSessionBytes(path));
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("Cannot load session: ") + e.what());
    }
}

std::string sessionFileBytes(const Json& payload) {
    validateSessionPayload(payload);
    const std::string payloadText = payload.dump();
    if (payloadText.size() > kSessionFileMaxBytes) {
        throwRuntimeError("Session payload exceeds 64 MiB.");
    }
    std::string text = envelopeText(payloadText, sha256Hex(payloadText));
    if (text.size() > kSessionFileMaxBytes) {
        throwRuntimeError("Session file exceeds 64 MiB.");
    }
    return text;
}

std::string saveSessionFile(const std::string& path, const Json& payload) {
    try {
        if (path.empty() || path.back() == '/') {
            throwRuntimeError("Choose a session filename.");
        }
        return writeSessionFileAtomically(path, sessionFileBytes(payload));
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("Cannot save session: ") + e.what());
    }
}

} // namespace kestravon::ruvi
