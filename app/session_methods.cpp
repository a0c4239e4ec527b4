// Structural session methods and the playback transport.

#include "app/application_impl.h"

#include <stdexcept>

namespace kestravon::ruvi {

using Json = nlohmann::json;
using Impl = Application::Impl;

Json Impl::applySession(const Json&) {
    throw std::runtime_error("Native method not implemented: applySession");
}

Json Impl::unloadPlayback(const Json&) {
    throw std::runtime_error("Native method not implemented: unloadPlayback");
}

Json Impl::playPlayback() {
    throw std::runtime_error("Native method not implemented: playPlayback");
}

Json Impl::stopPlayback() {
    throw std::runtime_error("Native method not implemented: stopPlayback");
}

Json Impl::seekPlayback(const Json&) {
    throw std::runtime_error("Native method not implemented: seekPlayback");
}

Json Impl::setPlaybackLoop(const Json&) {
    throw std::runtime_error("Native method not implemented: setPlaybackLoop");
}

Json Impl::attachPlaybackToNative(const Json& description) const {
    return description;
}

} // namespace kestravon::ruvi
