// The control-state snapshot.

#include "app/application_impl.h"

#include <stdexcept>

namespace kestravon::ruvi {

using Json = nlohmann::json;
using Impl = Application::Impl;

Json Impl::buildControlState() {
    throw std::runtime_error("Native method not implemented: getControlState");
}

std::uint64_t Impl::takeCounterDelta(const std::string&, std::uint64_t counter) const {
    return counter;
}

} // namespace kestravon::ruvi
