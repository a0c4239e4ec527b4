#include "audio/backend_impl.h"

#include <algorithm>
#include <cmath>
#include <system_error>

#include "audio/performance_counter.h"

namespace kestravon::ruvi {

WasapiBackend::Impl::Impl(std::shared_ptr<EndpointCatalogue> c) : catalogue(std::move(c)) {}

void WasapiBackend::Impl::stopAndJoin() {
    stopRequested.store(true);
    running.store(false);
    if (activationEvent) {
        activationEvent->set();
    }
    for (auto& stream : endpoints) {
        stream->bufferEvent.set();
    }
    for (auto& stream : endpoints) {
        if (stream->thread.joinable()) {
            if (stream->thread.get_id() == std::this_thread::get_id()) {
                throw std::system_error(
                    std::make_error_code(std::errc::resource_deadlock_would_occur));
            }
            stream->thread.join();
        }
    }
}

void WasapiBackend::Impl::runMasterPeriod(int frames) noexcept {
    const std::int64_t begin = monotonicNanoseconds();
    const auto n = static_cast<std::size_t>(frames);
    for (std::int32_t c = 0; c < inputChannels; ++c) {
        std::fill_n(inputPlanes.data() + static_cast<std::size_t>(c) * 4096, n, 0.0f);
    }
    const double master = masterMeasuredRate.load(std::memory_order_relaxed);
    bool glitched = false;
    for (auto& owned : endpoints) {
        EndpointStream& s = *owned;
        if (!s.capture || s.currentState() != StreamState::running) {
            continue;
        }
        const double ratio = s.measuredRate.load(std::memory_order_relaxed) / master;
        const int channels = s.format.channels;
        double correction = s.correctionPpm.load(std::memory_order_relaxed);
        float* const base = inputPlanes.data() + static_cast<std::size_t>(s.firstChannel) * 4096;
        for (std::size_t i = 0; i < n; ++i) {
            if (s.resampler.next(s.frame, ratio, correction)) {
                for (int j = 0; j < channels; ++j) {
                    base[static_cast<std::size_t>(j) * 4096 + i] = s.frame[j];
                }
            } else if (s.resampler.everPrimed()) {
                s.missingFrames.fetch_add(1, std::memory_order_relaxed);
                glitched = true;
            } else {
                s.startupMissingFrames.fetch_add(1, std::memory_order_relaxed);
            }
        }
        s.primed.store(s.resampler.primed(), std::memory_order_relaxed);
        s.correctionPpm.store(correction, std::memory_order_relaxed);
        s.queueMilliseconds.store(static_cast<double>(s.ring.fill()) * 1000.0 / s.format.sampleRate,
                                  std::memory_order_relaxed);
    }
    if (glitched) {
        xruns.fetch_add(1, std::memory_order_relaxed);
    }
    for (std::int32_t c = 0; c < outputChannels; ++c) {
        std::fill_n(outputPlanes.data() + static_cast<std::size_t>(c) * 4096, n, 0.0f);
    }
    callback(userData, inputPointers.data(), inputChannels, outputPointers.data(), outputChannels,
             frames, static_cast<double>(sampleRate));
    for (auto& owned : endpoints) {
        EndpointStream& s = *owned;
        if (s.capture || s.isMaster || s.currentState() == StreamState::fault) {
            continue;
        }
        const int channels = s.format.channels;
        const float* const base =
            outputPlanes.data() + static_cast<std::size_t>(s.firstChannel) * 4096;
        float* scratch = s.scratch.data();
        for (std::size_t i = 0; i < n; ++i) {
            for (int j = 0; j < channels; ++j) {
                const float v = base[static_cast<std::size_t>(j) * 4096 + i];
                scratch[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(j)] =
                    std::isfinite(v) ? v : 0.0f;
            }
        }
        if (!s.ring.write(scratch, frames)) {
            s.missingFrames.fetch_add(frames, std::memory_order_relaxed);
            s.faultHresult.store(AUDCLNT_E_BUFFER_TOO_LARGE, std::memory_order_relaxed);
            s.state.store(StreamState::fault, std::memory_order_release);
            xruns.fetch_add(1, std::memory_order_relaxed);
        }
    }
    callbacks.fetch_add(1, std::memory_order_relaxed);
    const double elapsedMs = static_cast<double>(monotonicNanoseconds() - begin) / 1e6;
    if (elapsedMs > maximumCallbackMs.load(std::memory_order_relaxed)) {
        maximumCallbackMs.store(elapsedMs, std::memory_order_relaxed);
    }
}

void WasapiBackend::Impl::passOver(EndpointStream& s, std::uint64_t deviceFrames) noexcept {
    s.resampler.skip(static_cast<double>(deviceFrames) * s.resampler.ratio());
    s.missingFrames.fetch_add(s.resampler.takePassedOver(), std::memory_order_relaxed);
}

void WasapiBackend::Impl::endConsumerWake(EndpointStream& s) noexcept {
    if (s.resampler.dropExcess() > 0.0) {
        xruns.fetch_add(1, std::memory_order_relaxed);
    }
    s.missingFrames.fetch_add(s.resampler.takePassedOver(), std::memory_order_relaxed);
}

void WasapiBackend::Impl::passOverLostMasterTime(std::uint64_t frames) noexcept {
    for (auto& owned : endpoints) {
        EndpointStream& s = *owned;
        if (s.isMaster || s.currentState() != StreamState::running) {
            continue;
        }
        if (s.capture) {
            passOver(s, frames);
            continue;
        }
        // An output that ran dry primes afresh; one that plays on gets the silence, as far as
        // its queue stays under the fill its consumer would trim.
        if (!s.primed.load(std::memory_order_relaxed)) {
            continue;
        }
        const auto ceiling = static_cast<std::uint64_t>(2.0 * (s.resampler.target() + 64.0));
        const std::uint64_t fill = s.ring.fill();
        const auto channels = static_cast<std::uint64_t>(std::max(s.format.channels, 1));
        const std::uint64_t chunk = std::min<std::uint64_t>(4096, s.scratch.size() / channels);
        std::fill_n(s.scratch.begin(), chunk * channels, 0.0f);
        for (std::uint64_t left = std::min(frames, ceiling > fill ? ceiling - fill : 0);
             left > 0;) {
            const std::uint64_t n = std::min(left, chunk);
            if (!s.ring.write(s.scratch.data(), static_cast<std::int32_t>(n))) {
                break;
            }
            left -= n;
        }
    }
}

void WasapiBackend::Impl::dropStaleCapture() noexcept {
    for (auto& owned : endpoints) {
        EndpointStream& s = *owned;
        if (s.capture && s.currentState() == StreamState::running) {
            endConsumerWake(s);
        }
    }
}

std::string prepareFailureMessage(const std::vector<std::unique_ptr<EndpointStream>>& streams,
                                  const std::vector<std::string>& catalogueNames,
                                  std::size_t waited, bool timedOut) {
    const auto label = [&](std::size_t i) {
        const EndpointStream& s = *streams[i];
        const std::string& shown = !s.name.empty() ? s.name
                                   : i < catalogueNames.size() && !catalogueNames[i].empty()
                                       ? catalogueNames[i]
                                       : s.id;
        return std::string(s.capture ? "audio input " : "audio output ") + "\"" + shown + "\"";
    };
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const HRESULT code = streams[i]->faultHresult.load();
        if (code < 0) {
            return "Could not prepare " + label(i) + " (" + hresultText(code) + ").";
        }
    }
    if (timedOut) {
        return "Timed out waiting for " + label(waited) + " to prepare (" +
               hresultText(HRESULT_TIMEOUT) + ").";
    }
    return "Audio setup was cancelled while preparing " + label(waited) + " (" +
           hresultText(HRESULT_CANCELLED) + ").";
}

} // namespace kestravon::ruvi
