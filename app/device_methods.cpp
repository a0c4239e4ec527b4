// Device, plug-in and audio methods, and the state reads.

#include "app/application_impl.h"

#include <stdexcept>

namespace kestravon::ruvi {

using Json = nlohmann::json;
using Impl = Application::Impl;

Json Impl::capabilities() const {
    throw std::runtime_error("Native method not implemented: capabilities");
}

Json Impl::listDevices() {
    throw std::runtime_error("Native method not implemented: devices");
}

Json Impl::listPlugins() const {
    throw std::runtime_error("Native method not implemented: plugins");
}

Json Impl::startAudio(const Json&) {
    throw std::runtime_error("Native method not implemented: startAudio");
}

Json Impl::getControlState(const Json&) {
    throw std::runtime_error("Native method not implemented: getControlState");
}

Json Impl::status() {
    throw std::runtime_error("Native method not implemented: status");
}

void Impl::enumerateDevices() {
    throw std::runtime_error("Native method not implemented: enumerateDevices");
}

} // namespace kestravon::ruvi
