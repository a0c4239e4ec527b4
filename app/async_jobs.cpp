// Starting and cancelling background jobs.

#include "app/application_impl.h"

#include <stdexcept>

namespace kestravon::ruvi {

using Json = nlohmann::json;
using Impl = Application::Impl;

std::optional<Json> Impl::beginAsyncRequest(const Json&) {
    return std::nullopt;
}

void Impl::cancelAsyncJob() noexcept {
    if (job) {
        job->cancelRequested.store(true);
    }
}

Json Impl::stopAudioNow(const Json&) {
    throw std::runtime_error("Native method not implemented: stopAudio");
}

} // namespace kestravon::ruvi
