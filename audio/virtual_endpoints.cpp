#include "audio/virtual_endpoints.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>

#include "audio/device_format.h"
#include "audio/performance_counter.h"

namespace kestravon::ruvi {

// The audio client of one virtual endpoint. Its clock runs from start(): device frames =
// elapsed x rate x (1 + drift); the device works in whole periods, so positions and events
// advance a period at a time.
class VirtualEndpointClient final : public AudioEndpointClient {
public:
    explicit VirtualEndpointClient(std::shared_ptr<VirtualEndpoint> device)
        : device_(std::move(device)), setup_(device_->setup_) {}
    ~VirtualEndpointClient() override {
        if (holdsExclusive_) {
            device_->exclusiveHeld_.store(false);
        }
    }

    HRESULT getMixFormat(WaveFormat& out) override {
        if (gone()) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        if (failed(setup_.mixFormatError)) {
            return setup_.mixFormatError;
        }
        out = setup_.mixFormat;
        return S_OK;
    }

    HRESULT isFormatSupported(ShareMode mode, const WaveFormat& format) override {
        if (gone()) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        DeviceFormat checked;
        if (setup_.refuseFormats || !checkDeviceFormat(checked, &format)) {
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        const WaveFormat& mix = setup_.mixFormat;
        if (mode == ShareMode::shared) {
            return format.nSamplesPerSec == mix.nSamplesPerSec &&
                           format.nChannels == mix.nChannels &&
                           format.wBitsPerSample == mix.wBitsPerSample
                       ? S_OK
                       : S_FALSE;
        }
        if (!setup_.exclusiveSupported || format.nChannels != mix.nChannels) {
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        const auto& rates = setup_.exclusiveRates;
        if (!rates.empty() && std::find(rates.begin(), rates.end(),
                                        static_cast<int>(format.nSamplesPerSec)) == rates.end()) {
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        return S_OK;
    }

    HRESULT getDevicePeriod(std::int64_t& def, std::int64_t& minimum) override {
        if (gone()) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        def = setup_.defaultPeriod100ns;
        minimum = setup_.minimumPeriod100ns;
        return S_OK;
    }

    HRESULT getSharedModeEnginePeriod(const WaveFormat& format, std::uint32_t& def,
                                      std::uint32_t& fundamental, std::uint32_t& minimum,
                                      std::uint32_t& maximum) override {
        if (!setup_.lowLatencyShared) {
            return E_NOINTERFACE;
        }
        def = static_cast<std::uint32_t>(
            std::llrint(setup_.defaultPeriod100ns * 1e-7 * format.nSamplesPerSec));
        fundamental = setup_.lowLatencyFundamental;
        minimum = setup_.lowLatencyMinimum;
        maximum = setup_.lowLatencyMaximum;
        return S_OK;
    }

    HRESULT initializeSharedAudioStream(std::uint32_t periodFrames,
                                        const WaveFormat& format) override {
        if (!setup_.lowLatencyShared) {
            return E_NOINTERFACE;
        }
        if (setup_.failLowLatencyInit) {
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        return setUp(format, periodFrames,
                     setup_.sharedBufferFrames ? setup_.sharedBufferFrames : 3 * periodFrames);
    }

    HRESULT initialize(ShareMode mode, std::int64_t bufferDuration, std::int64_t,
                       const WaveFormat& format) override {
        if (gone()) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        if (initialised_) {
            return AUDCLNT_E_ALREADY_INITIALIZED;
        }
        if (setup_.initializeDelayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(setup_.initializeDelayMs));
        }
        if (mode == ShareMode::exclusive) {
            bool expected = false;
            if (!device_->exclusiveHeld_.compare_exchange_strong(expected, true)) {
                return AUDCLNT_E_DEVICE_IN_USE;
            }
            holdsExclusive_ = true;
            const auto frames = static_cast<std::uint32_t>(
                std::llrint(bufferDuration * 1e-7 * format.nSamplesPerSec));
            return setUp(format, frames, frames);
        }
        const auto period = static_cast<std::uint32_t>(
            std::llrint(setup_.defaultPeriod100ns * 1e-7 * format.nSamplesPerSec));
        return setUp(format, period,
                     setup_.sharedBufferFrames ? setup_.sharedBufferFrames : 3 * period);
    }

    HRESULT getBufferSize(std::uint32_t& frames) override {
        if (!initialised_) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        frames = bufferFrames_;
        return S_OK;
    }

    HRESULT getStreamLatency(std::int64_t& latency) override {
        if (!initialised_) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        latency = std::llrint(period_ * 1e7 / format_.sampleRate);
        return S_OK;
    }

    HRESULT setEventHandle(AudioEvent* event) override {
        event_ = event;
        return S_OK;
    }

    WaitResult waitForBuffer(std::uint32_t timeoutMs) noexcept override {
        const std::int64_t deadline =
            monotonicNanoseconds() + static_cast<std::int64_t>(timeoutMs) * 1'000'000;
        for (;;) {
            if (event_ != nullptr && event_->tryConsume()) {
                return WaitResult::signalled;
            }
            const std::int64_t now = monotonicNanoseconds();
            if (device_->removed()) {
                return WaitResult::signalled; // the next call reports the invalidated device
            }
            std::int64_t wake = deadline;
            if (started_ && !frozen(now) && !device_->late()) {
                const std::uint64_t k = periodIndex(now);
                if (k > lastEventPeriod_) {
                    lastEventPeriod_ = k;
                    return WaitResult::signalled;
                }
                wake = std::min(wake, timeOfFrame((k + 1) * period_));
            } else {
                wake = std::min(wake, now + 5'000'000); // poll the stall and removal switches
            }
            if (now >= deadline) {
                return WaitResult::timeout;
            }
            if (event_ == nullptr) {
                return WaitResult::failed;
            }
            const WaitResult r = event_->waitUntil(wake);
            if (r != WaitResult::timeout) {
                return r;
            }
        }
    }

    HRESULT start() override {
        if (!initialised_) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        if (started_) {
            return AUDCLNT_E_NOT_STOPPED;
        }
        startNs_ = monotonicNanoseconds();
        started_ = true;
        return S_OK;
    }

    HRESULT stop() noexcept override {
        started_ = false;
        return S_OK;
    }

    HRESULT getCurrentPadding(std::uint32_t& frames) noexcept override {
        if (gone()) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        settlePlayback();
        frames = static_cast<std::uint32_t>(writeFrame_ - played_);
        return S_OK;
    }

    HRESULT getBuffer(std::uint32_t frames, std::uint8_t*& data) noexcept override {
        if (gone()) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        settlePlayback();
        const auto padding = static_cast<std::uint32_t>(writeFrame_ - played_);
        if (frames > bufferFrames_ || (!holdsExclusive_ && frames > bufferFrames_ - padding)) {
            return AUDCLNT_E_BUFFER_TOO_LARGE;
        }
        data = bytes_.data();
        pending_ = frames;
        return S_OK;
    }

    HRESULT releaseBuffer(std::uint32_t frames, std::uint32_t flags) noexcept override {
        if (gone()) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        if (frames > pending_) {
            return AUDCLNT_E_INVALID_SIZE;
        }
        pending_ = 0;
        const std::uint64_t kept = device_->released_.load(std::memory_order_relaxed);
        const int ch = format_.channels;
        auto& record = device_->record_;
        for (std::uint32_t i = 0; i < frames; ++i) {
            const std::uint64_t at = (kept + i) * static_cast<std::uint64_t>(ch);
            if (at + static_cast<std::uint64_t>(ch) > record.size()) {
                break;
            }
            for (int c = 0; c < ch; ++c) {
                record[at + static_cast<std::uint64_t>(c)] =
                    (flags & AUDCLNT_BUFFERFLAGS_SILENT)
                        ? 0.0f
                        : decodeDeviceSample(format_, bytes_.data() + i * format_.wave.nBlockAlign +
                                                          c * format_.bytesPerSample);
            }
        }
        device_->released_.store(kept + frames, std::memory_order_release);
        writeFrame_ += frames;
        return S_OK;
    }

    EndpointUnderruns takeUnderruns() noexcept override {
        const EndpointUnderruns out = dry_;
        dry_ = {};
        return out;
    }

    HRESULT getNextPacketSize(std::uint32_t& frames) noexcept override {
        if (gone()) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        const std::uint64_t produced = devicePosition(monotonicNanoseconds());
        // The device keeps a tenth of a second; beyond that the oldest audio is lost.
        const std::uint64_t backlog = std::max<std::uint64_t>(
            bufferFrames_, static_cast<std::uint64_t>(format_.sampleRate / 10));
        if (produced > readFrame_ + backlog) {
            readFrame_ = produced - period_;
            lostData_ = true;
        }
        frames = produced >= readFrame_ + period_ ? period_ : 0;
        return S_OK;
    }

    HRESULT getCaptureBuffer(std::uint8_t*& data, std::uint32_t& frames, std::uint32_t& flags,
                             std::uint64_t& position, std::uint64_t& qpc) noexcept override {
        if (gone()) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        frames = period_;
        flags = lostData_ ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0;
        lostData_ = false;
        for (const auto& [packet, extra] : setup_.packetFlags) {
            if (packet == packetIndex_) {
                flags |= extra;
            }
        }
        fillCapture(frames);
        data = bytes_.data();
        position = readFrame_;
        qpc = static_cast<std::uint64_t>(timeOfFrame(readFrame_) / 100);
        return S_OK;
    }

    HRESULT releaseCaptureBuffer(std::uint32_t frames) noexcept override {
        if (gone()) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        readFrame_ += frames;
        ++packetIndex_;
        return S_OK;
    }

    HRESULT getClockFrequency(std::uint64_t& frequency) override {
        frequency = static_cast<std::uint64_t>(format_.sampleRate);
        return S_OK;
    }

    HRESULT getClockPosition(std::uint64_t& position, std::uint64_t& qpc) noexcept override {
        if (gone()) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        position = devicePosition(monotonicNanoseconds());
        qpc = static_cast<std::uint64_t>(timeOfFrame(position) / 100);
        return S_OK;
    }

private:
    bool gone() const noexcept { return device_->removed(); }

    HRESULT setUp(const WaveFormat& format, std::uint32_t period, std::uint32_t buffer) {
        if (!checkDeviceFormat(format_, &format)) {
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        period_ = std::max<std::uint32_t>(period, 1);
        bufferFrames_ = buffer;
        framesPerNs_ = format_.sampleRate * (1.0 + setup_.driftPpm * 1e-6) * 1e-9;
        bytes_.assign(
            static_cast<std::size_t>(std::max(buffer, period_)) * format_.wave.nBlockAlign, 0);
        device_->recordRate_.store(format_.sampleRate, std::memory_order_release);
        initialised_ = true;
        return S_OK;
    }

    // A stall freezes the clock; on resumption the stalled time is skipped, as if the device had
    // held its position.
    bool frozen(std::int64_t now) noexcept {
        const bool stalled = device_->stalled();
        if (stalled && !frozen_) {
            frozen_ = true;
            frozenAtNs_ = now;
        } else if (!stalled && frozen_) {
            frozen_ = false;
            startNs_ += now - frozenAtNs_;
        }
        return frozen_;
    }

    std::uint64_t periodIndex(std::int64_t now) noexcept {
        const std::int64_t at = frozen(now) ? frozenAtNs_ : now;
        if (!started_ || at <= startNs_) {
            return 0;
        }
        return static_cast<std::uint64_t>(static_cast<double>(at - startNs_) * framesPerNs_ /
                                          period_);
    }

    std::uint64_t devicePosition(std::int64_t now) noexcept { return periodIndex(now) * period_; }

    std::int64_t timeOfFrame(std::uint64_t frame) const noexcept {
        return startNs_ + static_cast<std::int64_t>(std::llround(frame / framesPerNs_));
    }

    // The device has played everything up to its position; what it played without data is an
    // underrun, and the next released frames play after it.
    void settlePlayback() noexcept {
        played_ = devicePosition(monotonicNanoseconds());
        if (played_ > writeFrame_) {
            device_->underruns_.fetch_add(played_ - writeFrame_, std::memory_order_relaxed);
            ++dry_.stretches;
            dry_.frames += played_ - writeFrame_;
            writeFrame_ = played_;
        }
    }

    void fillCapture(std::uint32_t frames) noexcept {
        const int ch = format_.channels;
        const double rate = format_.sampleRate;
        for (std::uint32_t i = 0; i < frames; ++i) {
            const std::uint64_t n = readFrame_ + i;
            float value = 0.0f;
            switch (setup_.signal) {
            case VirtualSignal::tone: {
                const double cycles = std::fmod(static_cast<double>(n) * setup_.toneHz / rate, 1.0);
                value = static_cast<float>(setup_.amplitude *
                                           std::sin(2.0 * std::numbers::pi * cycles));
                break;
            }
            case VirtualSignal::impulse:
                value = n % std::max<std::uint64_t>(setup_.impulseInterval, 1) == 0
                            ? static_cast<float>(setup_.amplitude)
                            : 0.0f;
                break;
            default:
                break;
            }
            std::uint8_t* frame = bytes_.data() + i * format_.wave.nBlockAlign;
            for (int c = 0; c < ch; ++c) {
                if (setup_.signal == VirtualSignal::samples) {
                    const std::uint64_t at = n * static_cast<std::uint64_t>(ch) + c;
                    value = at < setup_.samples.size() ? setup_.samples[at] : 0.0f;
                }
                encodeDeviceSample(format_, value, frame + c * format_.bytesPerSample);
            }
        }
    }

    std::shared_ptr<VirtualEndpoint> device_;
    const VirtualEndpointSetup& setup_;
    DeviceFormat format_{};
    AudioEvent* event_ = nullptr;
    std::vector<std::uint8_t> bytes_;
    bool initialised_ = false;
    bool started_ = false;
    bool holdsExclusive_ = false;
    bool frozen_ = false;
    bool lostData_ = false;
    std::int64_t startNs_ = 0;
    std::int64_t frozenAtNs_ = 0;
    double framesPerNs_ = 0.0;
    std::uint32_t period_ = 1;
    std::uint32_t bufferFrames_ = 0;
    std::uint32_t pending_ = 0;
    std::uint64_t lastEventPeriod_ = 0;
    std::uint64_t played_ = 0;
    std::uint64_t writeFrame_ = 0;
    std::uint64_t readFrame_ = 0;
    std::uint64_t packetIndex_ = 0;
    EndpointUnderruns dry_; // render: played without data since the last take
};

VirtualEndpoint::VirtualEndpoint(VirtualEndpointSetup setup) : setup_(std::move(setup)) {
    record_.assign(setup_.recordFrames * setup_.mixFormat.nChannels, 0.0f);
    recordChannels_.store(setup_.mixFormat.nChannels);
    recordRate_.store(static_cast<int>(setup_.mixFormat.nSamplesPerSec));
}

std::string VirtualEndpoint::friendlyName() const {
    return setup_.friendlyName.empty() ? setup_.name : setup_.friendlyName;
}

HRESULT VirtualEndpoint::activate(std::unique_ptr<AudioEndpointClient>& out) {
    if (removed()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    if (failed(setup_.activateError)) {
        return setup_.activateError;
    }
    activations_.fetch_add(1);
    out = std::make_unique<VirtualEndpointClient>(shared_from_this());
    return S_OK;
}

std::vector<float> VirtualEndpoint::recorded() const {
    const std::uint64_t frames = std::min<std::uint64_t>(
        framesReleased(), record_.size() / std::max<std::size_t>(setup_.mixFormat.nChannels, 1));
    return {record_.begin(),
            record_.begin() + static_cast<std::ptrdiff_t>(frames * setup_.mixFormat.nChannels)};
}

std::shared_ptr<VirtualEndpointSet> VirtualEndpointSet::makeDefault() {
    auto set = std::make_shared<VirtualEndpointSet>();
    VirtualEndpointSetup output;
    output.name = "output";
    output.friendlyName = "Virtual Output";
    output.flow = DataFlow::render;
    set->add(output);
    VirtualEndpointSetup input;
    input.name = "tone-input";
    input.friendlyName = "Virtual Test Tone";
    input.flow = DataFlow::capture;
    input.signal = VirtualSignal::tone;
    set->add(input);
    return set;
}

std::shared_ptr<VirtualEndpoint> VirtualEndpointSet::add(VirtualEndpointSetup setup) {
    auto endpoint = std::make_shared<VirtualEndpoint>(std::move(setup));
    std::lock_guard lock(mutex_);
    endpoints_.push_back(endpoint);
    return endpoint;
}

std::shared_ptr<VirtualEndpoint> VirtualEndpointSet::find(const std::string& id) const {
    std::lock_guard lock(mutex_);
    for (const auto& endpoint : endpoints_) {
        if (endpoint->id() == id) {
            return endpoint;
        }
    }
    return nullptr;
}

HRESULT VirtualEndpointSet::enumerate(DataFlow flow, AudioEndpointDevices& out) {
    std::lock_guard lock(mutex_);
    for (const auto& endpoint : endpoints_) {
        if (endpoint->dataFlow() == flow && !endpoint->removed()) {
            out.push_back(endpoint);
        }
    }
    return S_OK;
}

HRESULT VirtualEndpointSet::getDevice(const std::string& id,
                                      std::shared_ptr<AudioEndpointDevice>& out) {
    auto endpoint = find(id);
    if (endpoint == nullptr || endpoint->removed()) {
        return E_NOTFOUND;
    }
    out = std::move(endpoint);
    return S_OK;
}

} // namespace kestravon::ruvi
