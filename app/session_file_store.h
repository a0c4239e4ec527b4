#pragma once
// Session files: one compact JSON envelope {"format", "payload", "sha256", "version"} around the
// session payload, written by atomic replace and read back with every bound checked before the
// parser sees the bytes.
//
// Paths are local UTF-8 paths that already passed `localPathFromUtf8`. Stateless apart from the
// process-wide counter that names temporary files; callable from any thread.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace kestravon::ruvi {

inline constexpr std::uint64_t kSessionFileMaxBytes = 67108864; // 64 MiB
inline constexpr std::uint32_t kSessionMaxNesting = 64;         // the envelope is level 1
inline constexpr const char* kSessionFormat = "kestravon-live-session";

// Validates, serialises, hashes and writes `payload` to `path`. Throws "Cannot save session: "
// followed by the failure's own text; the previous file under `path` is untouched on failure.
// Returns the durability warning of writeSessionFileAtomically: the file was replaced, but it
// may not survive a power failure. Empty when the folder was flushed.
std::string saveSessionFile(const std::string& path, const nlohmann::json& payload);

// The file text of `payload`: validated, serialised canonically, hashed and wrapped in the
// envelope. Throws the failure's own text, unwrapped.
std::string sessionFileBytes(const nlohmann::json& payload);

// Reads, checks and returns the payload of the session file at `path`. Throws "Cannot load
// session: " followed by the failure's own text.
nlohmann::json loadSessionFile(const std::string& path);

// The steps after the read: bracket pre-scan, strict parse, envelope, payload validation and
// checksum. Throws the failure's own text, unwrapped.
nlohmann::json sessionPayloadFromBytes(std::string_view bytes);

// The whole file, 1 byte to 64 MiB. Refuses anything but a regular file without blocking on it
// (a FIFO or a device path answers at once).
std::string readSessionBytes(const std::string& path);

// Writes `bytes` into a new temporary file beside `path`, flushes it, renames it over `path` and
// flushes the folder. A file that stood under `path` keeps its permission bits; when `path` is
// a symbolic link, the file it points to is replaced and the link stays. Once the rename is done
// the new file stands: a folder that cannot be flushed after it is no failure of the save, and
// is returned as a warning ("" when the folder was flushed).
std::string writeSessionFileAtomically(const std::string& path, std::string_view bytes);

// Flushes a folder's entries to disk: 0, or the errno of the failing open or fsync.
using SessionFolderSync = int (*)(const std::string& folder);
// Replaces the folder flush of every later save (nullptr restores the real one); for tests of a
// disk that fails the flush.
void setSessionFolderSync(SessionFolderSync sync) noexcept;

// 64 lower-case hexadecimal digits.
std::string sha256Hex(std::string_view bytes);

// `value` must be an object with exactly these members: "Missing <what> field: <name>." for the
// first absent name when the count matches, else "Invalid <what> fields.".
void requireExactFields(const nlohmann::json& value, std::initializer_list<std::string_view> names,
                        std::string_view what);

// The folder a target is created in: the absolute path without its last element and the
// separators before it; "/" for a file at the root.
std::string sessionFolderOf(const std::string& absolutePath);

} // namespace kestravon::ruvi
