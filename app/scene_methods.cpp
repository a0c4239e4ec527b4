// Scene capture and recall.

#include "app/application_impl.h"

#include <stdexcept>

namespace kestravon::ruvi {

using Json = nlohmann::json;
using Impl = Application::Impl;

Json Impl::captureScene(const Json&) {
    throw std::runtime_error("Native method not implemented: captureScene");
}

Json Impl::recallScene(const Json&) {
    throw std::runtime_error("Native method not implemented: recallScene");
}

} // namespace kestravon::ruvi
