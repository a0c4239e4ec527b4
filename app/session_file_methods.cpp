// Saving the shared session to a file.

#include "app/application_impl.h"

#include <stdexcept>

namespace kestravon::ruvi {

using Json = nlohmann::json;
using Impl = Application::Impl;

Json Impl::saveSession(const Json&) {
    throw std::runtime_error("Native method not implemented: saveSession");
}

} // namespace kestravon::ruvi
