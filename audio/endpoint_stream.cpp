#include "audio/endpoint_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <new>

#include "audio/backend_impl.h"
#include "audio/performance_counter.h"
#include "audio/pro_audio_scope.h"
#include "audio/rate_estimator.h"

namespace kestravon::ruvi {

std::unique_ptr<EndpointStream> EndpointStream::create() {
    return std::unique_ptr<EndpointStream>(new EndpointStream());
}

EndpointStream::~EndpointStream() {
    if (thread.joinable()) {
        std::terminate(); // a stream outliving its running thread is a programming error
    }
}

void EndpointStream::fail(HRESULT code) noexcept {
    faultHresult.store(code < 0 ? code : E_FAIL, std::memory_order_relaxed);
    state.store(StreamState::fault, std::memory_order_release);
    backend->xruns.fetch_add(1, std::memory_order_relaxed);
    if (isMaster) {
        backend->running.store(false);
        backend->stopRequested.store(true);
        if (backend->activationEvent) {
            backend->activationEvent->set();
        }
    }
    preparedEvent.set();
}

std::uint64_t ringRequestFrames(std::uint32_t bufferFrames, double targetFrames) {
    const std::uint64_t request = std::max<std::uint64_t>(8192, 4ull * bufferFrames + 16448);
    const auto priming =
        static_cast<std::uint64_t>(std::ceil(2.0 * (targetFrames + 64.0))) + bufferFrames;
    return std::max(request, priming);
}

double resamplerTargetFrames(std::uint32_t bufferFrames, double ringRate, double deviceRate,
                             double sessionRate, int blockFrames) {
    const double block = blockFrames * ringRate / sessionRate;
    return 64.0 + std::max(bufferFrames * ringRate / deviceRate + block, 2.0 * block);
}

namespace {

void sleepOneMillisecond() {
    const timespec ms{0, 1'000'000};
    nanosleep(&ms, nullptr);
}

// Waits for an event without a time-out, in slices so that nothing can hang forever unnoticed.
void waitForever(AudioEvent& event) {
    while (event.waitFor(1000) == WaitResult::timeout) {
    }
}

// Raises a maximum held in an atomic double by compare-and-exchange.
void raiseMaximum(std::atomic<double>& maximum, double value) noexcept {
    double seen = maximum.load(std::memory_order_relaxed);
    while (value > seen && !maximum.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

class EndpointThread {
public:
    EndpointThread(WasapiBackend::Impl& backend, EndpointStream& stream)
        : b_(backend), s_(stream) {}
    ~EndpointThread() { exit(); }

    void run() {
        if (!setUp()) {
            return;
        }
        if (s_.capture) {
            captureLoop();
        } else {
            renderLoop();
        }
    }

private:
    bool stopping() const noexcept { return b_.stopRequested.load(std::memory_order_acquire); }
    bool faulted() const noexcept { return s_.currentState() == StreamState::fault; }

    bool fault(HRESULT hr) {
        s_.fail(hr);
        return false;
    }

    bool setUp() {
        if (s_.id.empty() || !isValidUtf8(s_.id)) {
            return fault(E_INVALIDARG);
        }
        std::shared_ptr<AudioEndpointDevice> device;
        HRESULT hr = b_.catalogue->getDevice(s_.id, device);
        if (failed(hr)) {
            return fault(hr);
        }
        if ((device->dataFlow() == DataFlow::capture) != s_.capture) {
            return fault(E_INVALIDARG);
        }
        s_.name = endpointFriendlyName(*device);
        if (failed(hr = device->activate(client_))) {
            return fault(hr);
        }
        WaveFormat mix;
        if (failed(hr = client_->getMixFormat(mix))) {
            return fault(hr);
        }
        if (!checkDeviceFormat(s_.format, &mix)) {
            return fault(AUDCLNT_E_UNSUPPORTED_FORMAT);
        }
        const ShareMode mode = s_.exclusive ? ShareMode::exclusive : ShareMode::shared;
        const double session = b_.sampleRate;
        if (s_.isMaster && s_.format.sampleRate != b_.sampleRate) {
            if (!s_.exclusive) {
                return fault(AUDCLNT_E_UNSUPPORTED_FORMAT);
            }
            // An exclusive master runs at the session rate; the stream's rate follows it.
            WaveFormat& w = s_.format.wave;
            w.nSamplesPerSec = static_cast<std::uint32_t>(b_.sampleRate);
            w.nAvgBytesPerSec = static_cast<std::uint32_t>(w.nBlockAlign) * w.nSamplesPerSec;
            s_.format.sampleRate = b_.sampleRate;
        }
        const WaveFormat& wave = s_.format.wave;
        hr = client_->isFormatSupported(mode, wave);
        if (hr != S_OK) {
            return fault(failed(hr) ? hr : AUDCLNT_E_UNSUPPORTED_FORMAT);
        }
        const double rate = s_.format.sampleRate;
        const std::int64_t blockDuration = std::llrint(b_.blockFrames * 1e7 / rate);
        std::int64_t defaultPeriod = 0, minimumPeriod = 0;
        if (failed(hr = client_->getDevicePeriod(defaultPeriod, minimumPeriod))) {
            return fault(hr);
        }
        s_.periodFrames = s_.exclusive
                              ? static_cast<std::uint32_t>(b_.blockFrames)
                              : static_cast<std::uint32_t>(std::llrint(defaultPeriod * rate / 1e7));
        bool initialised = false;
        if (!s_.exclusive && b_.preferLowLatencyShared) {
            std::uint32_t def = 0, fundamental = 0, minimum = 0, maximum = 0;
            if (succeeded(
                    client_->getSharedModeEnginePeriod(wave, def, fundamental, minimum, maximum)) &&
                fundamental > 0 && maximum >= minimum) {
                std::uint32_t period =
                    std::clamp(static_cast<std::uint32_t>(b_.blockFrames), minimum, maximum);
                period = (period + fundamental - 1) / fundamental * fundamental;
                period = std::min(period, maximum);
                if (succeeded(client_->initializeSharedAudioStream(period, wave))) {
                    s_.lowLatencyShared = true;
                    s_.periodFrames = period;
                    initialised = true;
                } else {
                    client_.reset();
                    if (failed(hr = device->activate(client_))) {
                        return fault(hr);
                    }
                }
            }
        }
        if (!initialised) {
            const std::int64_t d = s_.exclusive ? blockDuration : 0;
            if (failed(hr = client_->initialize(mode, d, d, wave))) {
                return fault(hr);
            }
        }
        if (failed(hr = client_->getBufferSize(s_.bufferFrames))) {
            return fault(hr);
        }
        if (s_.bufferFrames < 1 || s_.bufferFrames > 4096) {
            return fault(E_INVALIDARG);
        }
        std::int64_t latency = 0;
        if (succeeded(client_->getStreamLatency(latency))) {
            s_.reportedLatencyMs = static_cast<double>(latency) / 1e4;
        }
        if (failed(hr = client_->setEventHandle(&s_.bufferEvent))) {
            return fault(hr);
        }
        const int channels = s_.format.channels;
        s_.ringRate = s_.capture ? rate : session;
        const double target =
            resamplerTargetFrames(s_.bufferFrames, s_.ringRate, rate, session, b_.blockFrames);
        try {
            s_.ring.reset(channels, ringRequestFrames(s_.bufferFrames, target));
            s_.scratch.assign(
                static_cast<std::size_t>(std::max<std::uint32_t>(s_.bufferFrames, 4096)) *
                    static_cast<std::size_t>(channels),
                0.0f);
            if (s_.capture) {
                s_.resampler.build(s_.ring, rate, session, target);
            } else {
                s_.resampler.build(s_.ring, session, rate, target);
            }
        } catch (const std::bad_alloc&) {
            return fault(E_OUTOFMEMORY);
        }

        s_.measuredRate.store(rate);
        s_.state.store(StreamState::prepared, std::memory_order_release);
        s_.preparedEvent.set();
        waitForever(*b_.activationEvent);
        if (stopping()) {
            return false;
        }
        if (failed(hr = proAudio_.enter())) {
            return fault(hr);
        }
        if (!s_.capture && !s_.isMaster) {
            // The master is already feeding this ring; play only once it holds a priming fill.
            while (static_cast<double>(s_.ring.fill()) < target + 64.0) {
                if (stopping() || faulted()) {
                    return false;
                }
                sleepOneMillisecond();
            }
        }
        if (!s_.capture) {
            std::uint8_t* data = nullptr;
            if (failed(hr = client_->getBuffer(s_.bufferFrames, data))) {
                return fault(hr);
            }
            std::memset(data, 0, static_cast<std::size_t>(s_.bufferFrames) * wave.nBlockAlign);
            if (failed(hr = client_->releaseBuffer(s_.bufferFrames, AUDCLNT_BUFFERFLAGS_SILENT))) {
                return fault(hr);
            }
        }
        if (failed(hr = client_->start())) {
            return fault(hr);
        }
        started_ = true;
        s_.state.store(StreamState::running, std::memory_order_release);
        if (s_.isMaster) {
            s_.primed.store(true);
        }
        hr = client_->getClockFrequency(clockFrequency_);
        if (failed(hr) || clockFrequency_ == 0) {
            return fault(failed(hr) ? hr : E_FAIL);
        }
        return true;
    }

    // Waits for the device; false when the thread must leave (stop or fault).
    bool awaitBuffer() noexcept {
        const WaitResult r = client_->waitForBuffer(2000);
        if (stopping()) {
            return false;
        }
        if (faulted()) {
            return false; // already faulted from the master thread: keep that fault
        }
        if (r == WaitResult::timeout) {
            s_.fail(HRESULT_TIMEOUT);
            return false;
        }
        if (r == WaitResult::failed) {
            s_.fail(E_FAIL);
            return false;
        }
        return true;
    }

    void renderLoop() noexcept {
        const double rate = s_.format.sampleRate;
        const std::uint32_t align = s_.format.wave.nBlockAlign;
        const int channels = s_.format.channels;
        const int bytes = s_.format.bytesPerSample;
        while (!faulted()) {
            if (!awaitBuffer()) {
                return;
            }
            const double wake = qpcTime100ns();
            std::uint64_t position = 0, qpc = 0;
            if (succeeded(client_->getClockPosition(position, qpc))) {
                const double frames =
                    static_cast<double>(position) * rate / static_cast<double>(clockFrequency_);
                const double estimate = estimator_.update(frames, static_cast<double>(qpc), rate);
                s_.measuredRate.store(estimate, std::memory_order_relaxed);
                if (s_.isMaster) {
                    b_.masterMeasuredRate.store(estimate, std::memory_order_relaxed);
                }
            }
            std::uint32_t padding = 0;
            HRESULT hr = client_->getCurrentPadding(padding);
            if (failed(hr)) {
                s_.fail(hr);
                return;
            }
            if (padding > s_.bufferFrames) {
                s_.fail(E_FAIL);
                return;
            }
            // Stretches the device played without us are glitches of this endpoint. Their time
            // is gone: the audio queued for it would only play late.
            const EndpointUnderruns lost = client_->takeUnderruns();
            if (lost.stretches > 0) {
                s_.discontinuities.fetch_add(lost.stretches, std::memory_order_relaxed);
                b_.xruns.fetch_add(lost.stretches, std::memory_order_relaxed);
            }
            if (lost.frames > 0) {
                if (s_.isMaster) {
                    b_.passOverLostMasterTime(lost.frames);
                } else {
                    b_.passOver(s_, lost.frames);
                }
            }
            const std::uint32_t frames = s_.exclusive ? s_.bufferFrames : s_.bufferFrames - padding;
            if (frames == 0) {
                continue;
            }
            std::uint8_t* data = nullptr;
            if (failed(hr = client_->getBuffer(frames, data))) {
                s_.fail(hr);
                return;
            }
            const auto block = static_cast<std::uint32_t>(b_.blockFrames);
            for (std::uint32_t offset = 0; offset < frames;) {
                const std::uint32_t n = std::min(frames - offset, block);
                if (s_.isMaster) {
                    b_.runMasterPeriod(static_cast<int>(n));
                    for (std::uint32_t i = 0; i < n; ++i) {
                        std::uint8_t* out = data + (offset + i) * align;
                        for (int j = 0; j < channels; ++j) {
                            const float v =
                                b_.outputPointers[static_cast<std::size_t>(s_.firstChannel + j)][i];
                            encodeDeviceSample(s_.format, v, out + j * bytes);
                        }
                    }
                } else {
                    feedSecondary(data + offset * align, n);
                }
                offset += n;
            }
            if (s_.isMaster) {
                b_.dropStaleCapture();
            } else {
                b_.endConsumerWake(s_);
            }
            if (failed(hr = client_->releaseBuffer(frames, 0))) {
                s_.fail(hr);
                return;
            }
            const double workMs = (qpcTime100ns() - wake) / 1e4;
            raiseMaximum(b_.maximumRenderWorkMs, workMs);
            if (s_.periodFrames > 0 && workMs > s_.periodFrames * 1000.0 / rate) {
                b_.renderDeadlineOverruns.fetch_add(1, std::memory_order_relaxed);
            }
        }
    }

    void feedSecondary(std::uint8_t* out, std::uint32_t n) noexcept {
        const std::uint32_t align = s_.format.wave.nBlockAlign;
        const int channels = s_.format.channels;
        const int bytes = s_.format.bytesPerSample;
        const double ratio = b_.masterMeasuredRate.load(std::memory_order_relaxed) /
                             s_.measuredRate.load(std::memory_order_relaxed);
        bool glitched = false;
        double correction = s_.correctionPpm.load(std::memory_order_relaxed);
        for (std::uint32_t i = 0; i < n; ++i) {
            const bool ok = s_.resampler.next(s_.frame, ratio, correction);
            if (!ok) {
                if (s_.resampler.everPrimed()) {
                    s_.missingFrames.fetch_add(1, std::memory_order_relaxed);
                    glitched = true;
                } else {
                    s_.startupMissingFrames.fetch_add(1, std::memory_order_relaxed);
                }
            }
            for (int j = 0; j < channels; ++j) {
                encodeDeviceSample(s_.format, ok ? s_.frame[j] : 0.0f, out + i * align + j * bytes);
            }
        }
        if (glitched) {
            b_.xruns.fetch_add(1, std::memory_order_relaxed);
        }
        s_.primed.store(s_.resampler.primed(), std::memory_order_relaxed);
        s_.correctionPpm.store(correction, std::memory_order_relaxed);
        s_.queueMilliseconds.store(static_cast<double>(s_.ring.fill()) * 1000.0 / s_.ringRate,
                                   std::memory_order_relaxed);
    }

    void captureLoop() noexcept {
        const double rate = s_.format.sampleRate;
        const std::uint32_t align = s_.format.wave.nBlockAlign;
        const int channels = s_.format.channels;
        const int bytes = s_.format.bytesPerSample;
        while (!faulted()) {
            if (!awaitBuffer()) {
                return;
            }
            std::uint32_t size = 0;
            HRESULT hr = client_->getNextPacketSize(size);
            if (failed(hr)) {
                s_.fail(hr);
                return;
            }
            while (size != 0 && !stopping()) {
                std::uint8_t* data = nullptr;
                std::uint32_t frames = 0, flags = 0;
                std::uint64_t devicePosition = 0, qpc = 0;
                if (failed(
                        hr = client_->getCaptureBuffer(data, frames, flags, devicePosition, qpc))) {
                    s_.fail(hr);
                    return;
                }
                const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
                if (frames > s_.bufferFrames || (frames > 0 && data == nullptr && !silent)) {
                    (void)client_->releaseCaptureBuffer(frames);
                    s_.fail(E_FAIL);
                    return;
                }
                if (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) {
                    if (seenFirstPacket_) {
                        s_.discontinuities.fetch_add(1, std::memory_order_relaxed);
                        b_.xruns.fetch_add(1, std::memory_order_relaxed);
                    } else {
                        s_.startupDiscontinuities.fetch_add(1, std::memory_order_relaxed);
                    }
                }
                if (flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) {
                    (seenFirstPacket_ ? s_.discontinuities : s_.startupDiscontinuities)
                        .fetch_add(1, std::memory_order_relaxed);
                } else {
                    s_.measuredRate.store(estimator_.update(static_cast<double>(devicePosition),
                                                            static_cast<double>(qpc), rate),
                                          std::memory_order_relaxed);
                }
                float* scratch = s_.scratch.data();
                for (std::uint32_t i = 0; i < frames; ++i) {
                    for (int c = 0; c < channels; ++c) {
                        scratch[i * static_cast<std::uint32_t>(channels) +
                                static_cast<std::uint32_t>(c)] =
                            silent ? 0.0f
                                   : decodeDeviceSample(s_.format, data + i * align + c * bytes);
                    }
                }
                const bool written = s_.ring.write(scratch, static_cast<std::int32_t>(frames));
                hr = client_->releaseCaptureBuffer(frames);
                seenFirstPacket_ = true;
                if (!written) {
                    s_.missingFrames.fetch_add(frames, std::memory_order_relaxed);
                    s_.fail(AUDCLNT_E_BUFFER_TOO_LARGE);
                    return;
                }
                if (failed(hr)) {
                    s_.fail(hr);
                    return;
                }
                if (failed(hr = client_->getNextPacketSize(size))) {
                    s_.fail(hr);
                    return;
                }
            }
        }
    }

    // Leaving: stop the client if it was started, drop the scheduling class, and end as stopped
    // unless the stream faulted.
    void exit() noexcept {
        if (started_) {
            client_->stop();
        }
        proAudio_.revert();
        StreamState expected = s_.currentState();
        while (expected != StreamState::fault &&
               !s_.state.compare_exchange_weak(expected, StreamState::stopped)) {
        }
    }

    WasapiBackend::Impl& b_;
    EndpointStream& s_;
    std::unique_ptr<AudioEndpointClient> client_;
    ProAudioScope proAudio_;
    RateEstimator estimator_;
    std::uint64_t clockFrequency_ = 0;
    bool started_ = false;
    bool seenFirstPacket_ = false;
};

} // namespace

void runEndpointThread(WasapiBackend::Impl& backend, EndpointStream& stream) {
    EndpointThread thread(backend, stream);
    thread.run();
}

} // namespace kestravon::ruvi
