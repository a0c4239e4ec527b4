// Live controls: faders, processing, plug-in parameters, bypass, sends, UI patches.

#include "app/application_impl.h"

#include <stdexcept>

namespace kestravon::ruvi {

using Json = nlohmann::json;
using Impl = Application::Impl;

Json Impl::setParameter(const Json&) {
    throw std::runtime_error("Native method not implemented: setParameter");
}

Json Impl::setStripProcessing(const Json&) {
    throw std::runtime_error("Native method not implemented: setStripProcessing");
}

Json Impl::setVstParameter(const Json&) {
    throw std::runtime_error("Native method not implemented: setVstParameter");
}

Json Impl::getVstParameters(const Json&) const {
    throw std::runtime_error("Native method not implemented: getVstParameters");
}

Json Impl::setInsertBypass(const Json&) {
    throw std::runtime_error("Native method not implemented: setInsertBypass");
}

Json Impl::setSendLevel(const Json&) {
    throw std::runtime_error("Native method not implemented: setSendLevel");
}

Json Impl::uiPatch(const Json&) {
    throw std::runtime_error("Native method not implemented: uiPatch");
}

} // namespace kestravon::ruvi
