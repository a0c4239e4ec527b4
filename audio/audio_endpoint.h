#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio_event.h"
#include "audio/hresult.h"
#include "audio/wave_format.h"

namespace kestravon::ruvi {

enum class DataFlow { render, capture };
enum class ShareMode { shared, exclusive };

// What a render device played without a stream's audio: the stretches, and their device frames
// when the device can tell (0 when it cannot).
struct EndpointUnderruns {
    std::uint32_t stretches = 0;
    std::uint64_t frames = 0;
};

// One opened audio client of an endpoint: the operations the stream thread calls, in the order
// it calls them. Every result is an HRESULT; S_FALSE from isFormatSupported means "not exactly".
// Thread contract: one client belongs to one endpoint thread, which makes every call; only the
// event handed to setEventHandle is touched by other threads (to wake the waiter). The transfer
// calls (padding, buffers, packets, clock) run on the real-time path and never allocate or lock.
class AudioEndpointClient {
public:
    virtual ~AudioEndpointClient() = default;

    virtual HRESULT getMixFormat(WaveFormat& out) = 0;
    virtual HRESULT isFormatSupported(ShareMode mode, const WaveFormat& format) = 0;
    virtual HRESULT getDevicePeriod(std::int64_t& default100ns, std::int64_t& minimum100ns) = 0;
    // The shared low-latency engine period; E_NOINTERFACE when the endpoint has none.
    virtual HRESULT getSharedModeEnginePeriod(const WaveFormat& format,
                                              std::uint32_t& defaultFrames,
                                              std::uint32_t& fundamentalFrames,
                                              std::uint32_t& minimumFrames,
                                              std::uint32_t& maximumFrames) = 0;
    virtual HRESULT initializeSharedAudioStream(std::uint32_t periodFrames,
                                                const WaveFormat& format) = 0;
    // Event-driven initialisation; durations in 100-ns units.
    virtual HRESULT initialize(ShareMode mode, std::int64_t bufferDuration,
                               std::int64_t periodicity, const WaveFormat& format) = 0;
    virtual HRESULT getBufferSize(std::uint32_t& frames) = 0;
    virtual HRESULT getStreamLatency(std::int64_t& latency100ns) = 0;
    virtual HRESULT setEventHandle(AudioEvent* event) = 0;
    // Waits for the buffer event: the device's period, or a set() from another thread.
    virtual WaitResult waitForBuffer(std::uint32_t timeoutMs) noexcept = 0;
    virtual HRESULT start() = 0;
    virtual HRESULT stop() noexcept = 0;

    // Render side.
    virtual HRESULT getCurrentPadding(std::uint32_t& frames) noexcept = 0;
    virtual HRESULT getBuffer(std::uint32_t frames, std::uint8_t*& data) noexcept = 0;
    virtual HRESULT releaseBuffer(std::uint32_t frames, std::uint32_t flags) noexcept = 0;
    // Stretches the device played without this stream's audio since the last call: the stream
    // ran dry, or a sound server skipped the stream's cycles. Endpoints that cannot tell say 0.
    virtual EndpointUnderruns takeUnderruns() noexcept { return {}; }

    // Capture side; positions in device frames and in 100-ns counter units.
    virtual HRESULT getNextPacketSize(std::uint32_t& frames) noexcept = 0;
    virtual HRESULT getCaptureBuffer(std::uint8_t*& data, std::uint32_t& frames,
                                     std::uint32_t& flags, std::uint64_t& devicePosition,
                                     std::uint64_t& qpcPosition) noexcept = 0;
    virtual HRESULT releaseCaptureBuffer(std::uint32_t frames) noexcept = 0;

    // Stream clock: position / frequency is seconds of played or captured audio.
    virtual HRESULT getClockFrequency(std::uint64_t& frequency) = 0;
    virtual HRESULT getClockPosition(std::uint64_t& position,
                                     std::uint64_t& qpcPosition) noexcept = 0;
};

// One endpoint as a provider lists it.
class AudioEndpointDevice {
public:
    virtual ~AudioEndpointDevice() = default;
    virtual std::string id() const = 0;
    virtual std::string friendlyName() const = 0;
    virtual DataFlow dataFlow() const = 0;
    virtual HRESULT activate(std::unique_ptr<AudioEndpointClient>& out) = 0;
};

using AudioEndpointDevices = std::vector<std::shared_ptr<AudioEndpointDevice>>;

// A source of endpoints whose ids all begin with prefix() followed by ':'.
// Thread contract: enumerate and getDevice may be called from any thread at any time.
class AudioEndpointProvider {
public:
    virtual ~AudioEndpointProvider() = default;
    virtual std::string prefix() const = 0;
    // Active endpoints of one direction.
    virtual HRESULT enumerate(DataFlow flow, AudioEndpointDevices& out) = 0;
    // E_NOTFOUND when no active endpoint has that id.
    virtual HRESULT getDevice(const std::string& id, std::shared_ptr<AudioEndpointDevice>& out) = 0;
};

} // namespace kestravon::ruvi
