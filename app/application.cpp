#include "app/application.h"

#include "app/application_impl.h"

#include "common/json_text.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kestravon::ruvi {

AlignedFloatBlock::AlignedFloatBlock(std::size_t floats) : count(floats) {
    data = static_cast<float*>(std::aligned_alloc(32, floats * sizeof(float)));
    if (data == nullptr) {
        throw std::bad_alloc();
    }
    std::memset(data, 0, floats * sizeof(float));
}

AlignedFloatBlock::~AlignedFloatBlock() {
    std::free(data);
}

const char* jobPhaseWord(std::int32_t code) noexcept {
    static constexpr const char* kWords[] = {"inspecting",        "decoding",   "resampling",
                                             "preparing",         "finalizing", "complete",
                                             "preparingRecording"};
    return kWords[std::clamp(code, 0, 6)];
}

void Application::AsyncJob::reportJobProgress(std::string_view stage, double fraction) noexcept {
    const auto code = stage == "decoding"     ? JobPhase::decoding
                      : stage == "resampling" ? JobPhase::resampling
                                              : JobPhase::inspecting;
    phase.exchange(static_cast<std::int32_t>(code));
    phaseProgress.exchange(fraction);
}

Application::Impl::Impl(std::shared_ptr<EndpointCatalogue> endpoints)
    : catalogue(std::move(endpoints)), backend(catalogue),
      playback(std::make_unique<PlaybackBank>()) {
    for (std::size_t k = 0; k < kMaxRenderChannels; ++k) {
        playbackChannelBuffers[k] = playbackBlock.data + k * kMaxRenderFrames;
    }
}

Application::Impl::~Impl() {
    // 1. No render callback runs after this.
    try {
        backend.stop();
    } catch (...) {
    }
    // 2. A job's body is awaited; a stop job's capture health becomes the current record.
    if (job) {
        job->cancelRequested.store(true);
        try {
            if (!job->result && job->future.valid()) {
                job->result.emplace(job->future.get());
            }
            if (job->result && job->stopJob) {
                captureHealth = job->result->captureHealth;
                captureHealthPath.clear();
            }
        } catch (...) {
        }
        try {
            job.reset();
        } catch (...) {
        }
    }
    // 3. An open take is finished with the last backend status.
    try {
        finishCaptureHealth(backend.status());
    } catch (...) {
        try {
            recorder.stopWriter();
        } catch (...) {
        }
    }
    // 4. Every graph, published, current and retired, is freed before the members go.
    try {
        graph.clear();
    } catch (...) {
    }
    // 5. Members are destroyed in reverse order; the recorder's writer goes with stopAndDestroy.
    try {
        recorder.stopAndDestroy();
    } catch (...) {
    }
}

Application::Application() : Application(EndpointCatalogue::system()) {}

Application::Application(std::shared_ptr<EndpointCatalogue> catalogue)
    : impl_(std::make_unique<Impl>(std::move(catalogue))) {}

Application::~Application() = default;

nlohmann::json Application::handleRequest(const nlohmann::json& request) {
    return impl_->handleRequest(request);
}

Application::TextReply Application::handleRequestWithUiText(const nlohmann::json& request) {
    TextReply answer;
    answer.reply = impl_->handleRequest(request, &answer.uiStateText);
    return answer;
}

std::string Application::TextReply::dump() const {
    return uiStateText ? dumpWithMemberText(reply, {"result"}, "uiState", *uiStateText)
                       : reply.dump();
}

std::optional<nlohmann::json> Application::beginAsyncRequest(const nlohmann::json& request) {
    return impl_->beginAsyncRequest(request);
}

std::vector<nlohmann::json> Application::pollAsyncJob() {
    return impl_->pollAsyncJob();
}

void Application::cancelAsyncJob() noexcept {
    impl_->cancelAsyncJob();
}

bool Application::jobRunning() const noexcept {
    return impl_->job != nullptr;
}

nlohmann::json Application::buildControlState() {
    return impl_->buildControlState();
}

bool Application::showPluginEditor(const std::string& nodeId, const std::string& insertId,
                                   EditorWindow* window, std::string& error) {
    return impl_->graph.showEditor(nodeId, insertId, window, error);
}

void Application::closePluginEditors() {
    impl_->graph.closeEditors();
}

bool Application::resizePluginEditors(std::int32_t width, std::int32_t height) {
    return impl_->graph.resizeEditors(width, height);
}

} // namespace kestravon::ruvi
