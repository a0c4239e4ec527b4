// Collecting a finished background job on the UI thread.

#include "app/application_impl.h"

#include <stdexcept>

namespace kestravon::ruvi {

using Json = nlohmann::json;
using Impl = Application::Impl;

std::vector<Json> Impl::pollAsyncJob() {
    return {};
}

} // namespace kestravon::ruvi
