#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "audio/audio_endpoint.h"

namespace kestravon::ruvi {

enum class VirtualSignal { silence, tone, impulse, samples };

// How one in-process endpoint behaves: its formats, clock, buffers, what a capture endpoint plays
// and which faults it shows. The defaults describe a well-behaved stereo float endpoint.
struct VirtualEndpointSetup {
    std::string name;         // local part of the id: "virtual:" + name
    std::string friendlyName; // empty: the name
    DataFlow flow = DataFlow::render;
    WaveFormat mixFormat = makeWaveFormat(true, 2, 48000, 32);
    double driftPpm = 0.0; // the device clock against CLOCK_MONOTONIC
    std::int64_t defaultPeriod100ns = 100000;
    std::int64_t minimumPeriod100ns = 30000;
    std::uint32_t sharedBufferFrames = 0; // 0: three device periods
    bool exclusiveSupported = true;
    std::vector<int> exclusiveRates; // empty: any rate the format check accepts
    bool lowLatencyShared = true;    // offers the shared low-latency engine period
    std::uint32_t lowLatencyFundamental = 16, lowLatencyMinimum = 32, lowLatencyMaximum = 480;
    bool failLowLatencyInit = false;
    bool refuseFormats = false; // isFormatSupported answers AUDCLNT_E_UNSUPPORTED_FORMAT
    HRESULT activateError = S_OK;
    int initializeDelayMs = 0; // initialisation blocks this long (a device slow to open)
    HRESULT mixFormatError = S_OK;
    // Capture content, the same on every channel unless samples are given (interleaved).
    VirtualSignal signal = VirtualSignal::tone;
    double toneHz = 1000.0;
    double amplitude = 0.1;
    std::uint64_t impulseInterval = 4800;
    std::vector<float> samples;
    // Capture packets (counted from 0) that carry extra buffer flags.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> packetFlags;
    // Render: frames of released audio kept for the test to read.
    std::uint64_t recordFrames = 0;
};

// One in-process endpoint clocked by CLOCK_MONOTONIC: position = elapsed time x rate x
// (1 + drift), counted in whole device periods, so a late wake-up catches up instead of
// slipping. Thread contract: the setup is fixed at creation; the fault switches and the readings
// below are atomics that any thread may use while the endpoint thread streams.
class VirtualEndpoint : public AudioEndpointDevice,
                        public std::enable_shared_from_this<VirtualEndpoint> {
public:
    explicit VirtualEndpoint(VirtualEndpointSetup setup);

    std::string id() const override { return "virtual:" + setup_.name; }
    std::string friendlyName() const override;
    DataFlow dataFlow() const override { return setup_.flow; }
    HRESULT activate(std::unique_ptr<AudioEndpointClient>& out) override;
    const VirtualEndpointSetup& setup() const { return setup_; }

    // Faults: a removed endpoint leaves the catalogue and every call fails with
    // AUDCLNT_E_DEVICE_INVALIDATED; a stalled one stops its clock and its buffer event; a late
    // one keeps its clock but holds its buffer event back, as when the stream's thread is not
    // scheduled: a render device plays on without data, a capture device keeps its backlog.
    void remove() { removed_.store(true); }
    void setStalled(bool stalled) { stalled_.store(stalled); }
    void setLate(bool late) { late_.store(late); }
    bool removed() const { return removed_.load(); }
    bool stalled() const { return stalled_.load(); }
    bool late() const { return late_.load(); }

    // Render readings: frames released so far, frames the device played without data, and a
    // copy of the first recordFrames frames released (interleaved floats).
    std::uint64_t framesReleased() const { return released_.load(std::memory_order_acquire); }
    std::uint64_t underrunFrames() const { return underruns_.load(std::memory_order_relaxed); }
    std::vector<float> recorded() const;
    int channels() const { return recordChannels_.load(std::memory_order_acquire); }
    int sampleRate() const { return recordRate_.load(std::memory_order_acquire); }
    int activations() const { return activations_.load(); }

private:
    friend class VirtualEndpointClient;
    VirtualEndpointSetup setup_;
    std::atomic<bool> removed_{false};
    std::atomic<bool> stalled_{false};
    std::atomic<bool> late_{false};
    std::atomic<bool> exclusiveHeld_{false};
    std::atomic<int> activations_{0};
    std::atomic<std::uint64_t> released_{0};
    std::atomic<std::uint64_t> underruns_{0};
    std::atomic<int> recordChannels_{0};
    std::atomic<int> recordRate_{0};
    std::vector<float> record_; // sized once at initialisation, before streaming
};

// A provider of virtual endpoints. Tests build their own sets; the default set always holds a
// stereo output and a stereo input that plays a test tone.
// Thread contract: add, find, enumerate and getDevice from any thread, under one mutex; never
// called from an endpoint's streaming loop.
class VirtualEndpointSet : public AudioEndpointProvider {
public:
    static std::shared_ptr<VirtualEndpointSet> makeDefault();

    std::shared_ptr<VirtualEndpoint> add(VirtualEndpointSetup setup);
    std::shared_ptr<VirtualEndpoint> find(const std::string& id) const;

    std::string prefix() const override { return "virtual"; }
    HRESULT enumerate(DataFlow flow, AudioEndpointDevices& out) override;
    HRESULT getDevice(const std::string& id, std::shared_ptr<AudioEndpointDevice>& out) override;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<VirtualEndpoint>> endpoints_;
};

} // namespace kestravon::ruvi
