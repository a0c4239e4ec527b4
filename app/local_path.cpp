#include "app/local_path.h"

#include "media/playback_config.h"

namespace kestravon::ruvi {

std::string localPathFromUtf8(const std::string& text) {
    // One check for every path a request names: playback files, session files, take folders.
    checkPlaybackLocalPath(text);
    return text;
}

} // namespace kestravon::ruvi
