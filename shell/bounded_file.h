#pragma once
// Whole-file reads of the shell's own small files (page assets, pairing files).

#include <sys/types.h>

#include <string>

namespace kestravon::ruvi {

// Reads the regular file behind fd, at most limit bytes, into text, and closes fd in every
// case. False, with nothing read, when fd is not a regular file or is larger than limit.
bool readRegularFile(int fd, off_t limit, std::string& text);

} // namespace kestravon::ruvi
