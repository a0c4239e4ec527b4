#pragma once
// Paths that requests carry, checked before any file operation.

#include <string>

namespace kestravon::ruvi {

// A request's UTF-8 path as the file calls take it: non-empty, at most 32,700 bytes, no NUL byte
// ("Invalid local file path"), valid UTF-8 ("Invalid UTF-8 file path") and absolute ("Choose an
// absolute local path"). Paths are UTF-8 bytes here, so the checked text is the path itself.
std::string localPathFromUtf8(const std::string& text);

} // namespace kestravon::ruvi
