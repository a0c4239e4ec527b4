#include "audio/alsa_endpoints.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <unistd.h>

#include "audio/device_format.h"
#include "audio/loss_watch.h"
#include "audio/performance_counter.h"
#include "audio/pipewire_nodes.h"

namespace kestravon::ruvi {

HRESULT hresultFromAlsa(int error) noexcept {
    const int e = error < 0 ? -error : error;
    if (e == EBUSY) {
        return AUDCLNT_E_DEVICE_IN_USE;
    }
    if (e == ENODEV || e == ENXIO) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    return hresultFromErrno(e);
}

namespace {

constexpr HRESULT AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED = hresult(0x8889000Eu);

// The sound server behind a PCM of the configuration, or empty for none.
std::string serverOf(const std::string& pcm) {
    if (pcm != "default") {
        return pcm;
    }
    snd_config_t* node = nullptr;
    snd_config_t* type = nullptr;
    const char* text = nullptr;
    if (snd_config_update() < 0 || snd_config_search(snd_config, "pcm.default", &node) < 0 ||
        snd_config_search(node, "type", &type) < 0 || snd_config_get_string(type, &text) < 0) {
        return {};
    }
    return text;
}

// Opening a server's PCM while the server is down only fails slowly (and its plug-in leaks),
// so such PCMs are listed only while the server's socket exists.
bool serverReachable(const std::string& pcm) {
    const std::string server = serverOf(pcm);
    if (server == "pipewire") {
        return pipeWireServerRunning();
    }
    if (server == "pulse") {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        return runtime != nullptr &&
               access((std::string(runtime) + "/pulse/native").c_str(), F_OK) == 0;
    }
    return true;
}

// One endpoint and the PCM names that open it.
struct AlsaTarget {
    std::string id;
    std::string name;
    DataFlow flow = DataFlow::render;
    std::string sharedPcm;
    std::string exclusivePcm; // empty: exclusive mode is not offered
    bool server = false;      // a PipeWire node: its format and clock are known
    int channels = 2;
    int rate = 48000;
    PipeWireClock clock;
};

snd_pcm_stream_t streamOf(DataFlow flow) {
    return flow == DataFlow::capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
}

snd_pcm_format_t alsaFormatOf(const DeviceFormat& f) {
    if (f.isFloat) {
        return f.bytesPerSample == 8 ? SND_PCM_FORMAT_FLOAT64_LE : SND_PCM_FORMAT_FLOAT_LE;
    }
    switch (f.bytesPerSample) {
    case 2:
        return SND_PCM_FORMAT_S16_LE;
    case 3:
        return SND_PCM_FORMAT_S24_3LE;
    default:
        return SND_PCM_FORMAT_S32_LE; // fewer valid bits sit left-justified, as S32 expects
    }
}

// Ids name the direction, since one ALSA device number serves both.
std::string idPrefix(DataFlow flow) {
    return flow == DataFlow::capture ? "alsa:capture:" : "alsa:playback:";
}

void addHardware(DataFlow flow, std::vector<AlsaTarget>& out) {
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) {
        snd_ctl_t* ctl = nullptr;
        const std::string ctlName = "hw:" + std::to_string(card);
        if (snd_ctl_open(&ctl, ctlName.c_str(), 0) < 0) {
            continue;
        }
        snd_ctl_card_info_t* cardInfo = nullptr;
        snd_ctl_card_info_alloca(&cardInfo);
        if (snd_ctl_card_info(ctl, cardInfo) < 0) {
            snd_ctl_close(ctl);
            continue;
        }
        const std::string cardId = snd_ctl_card_info_get_id(cardInfo);
        const std::string cardName = snd_ctl_card_info_get_name(cardInfo);
        int device = -1;
        while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
            snd_pcm_info_t* info = nullptr;
            snd_pcm_info_alloca(&info);
            snd_pcm_info_set_device(info, static_cast<unsigned>(device));
            snd_pcm_info_set_subdevice(info, 0);
            snd_pcm_info_set_stream(info, streamOf(flow));
            if (snd_ctl_pcm_info(ctl, info) < 0) {
                continue;
            }
            const std::string args = "CARD=" + cardId + ",DEV=" + std::to_string(device);
            AlsaTarget t;
            t.id = idPrefix(flow) + "hw:" + args;
            t.name = std::string(snd_pcm_info_get_name(info)) + " (" + cardName + ")";
            t.flow = flow;
            t.exclusivePcm = "hw:" + args;
            t.sharedPcm = (flow == DataFlow::capture ? "dsnoop:" : "dmix:") + args;
            out.push_back(std::move(t));
        }
        snd_ctl_close(ctl);
    }
}

// Sound-server PCMs that the configuration offers with a hint.
void addServerHints(DataFlow flow, std::vector<AlsaTarget>& out) {
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0) {
        return;
    }
    static const std::set<std::string> servers = {"default", "pipewire", "pulse"};
    for (void** h = hints; *h != nullptr; ++h) {
        char* name = snd_device_name_get_hint(*h, "NAME");
        char* desc = snd_device_name_get_hint(*h, "DESC");
        char* ioid = snd_device_name_get_hint(*h, "IOID");
        const bool directionOk =
            ioid == nullptr ||
            std::strcmp(ioid, flow == DataFlow::capture ? "Input" : "Output") == 0;
        if (name != nullptr && servers.count(name) != 0 && directionOk && serverReachable(name)) {
            AlsaTarget t;
            t.id = idPrefix(flow) + name;
            std::string d = desc != nullptr ? desc : name;
            std::replace(d.begin(), d.end(), '\n', ' ');
            t.name = d;
            t.flow = flow;
            t.sharedPcm = name;
            out.push_back(std::move(t));
        }
        std::free(name);
        std::free(desc);
        std::free(ioid);
    }
    snd_device_name_free_hint(hints);
}

void addPipeWireNodes(DataFlow flow, std::vector<AlsaTarget>& out) {
    std::vector<PipeWireNode> nodes;
    PipeWireClock clock;
    if (!readPipeWireNodes(nodes, clock)) {
        return;
    }
    for (const PipeWireNode& node : nodes) {
        const bool render = flow == DataFlow::render;
        // Capture reaches sources directly and sinks through their monitor.
        for (const bool monitor : {false, true}) {
            if (render ? (monitor || !node.sink)
                       : (monitor ? !node.sink : !node.source || node.sink)) {
                continue;
            }
            AlsaTarget t;
            t.id = (monitor ? std::string("alsa:monitor:") : idPrefix(flow)) +
                   "pipewire:NODE=" + node.name;
            t.name = monitor ? "Monitor of " + node.description : node.description;
            t.flow = flow;
            t.sharedPcm = "pipewire:NODE=" + node.name;
            t.server = true;
            t.channels = std::clamp(node.channels, 1, 64);
            t.rate = node.rate;
            t.clock = clock;
            out.push_back(std::move(t));
        }
    }
}

std::vector<AlsaTarget> listTargets(DataFlow flow) {
    std::vector<AlsaTarget> out;
    addHardware(flow, out);
    addServerHints(flow, out);
    addPipeWireNodes(flow, out);
    return out;
}

// The format a PCM offers by default: float if it can, else the widest integer, two channels
// if it can, 48000 Hz if it can.
HRESULT probeMixFormat(const std::string& pcmName, DataFlow flow, WaveFormat& out) {
    snd_pcm_t* pcm = nullptr;
    int rc = snd_pcm_open(&pcm, pcmName.c_str(), streamOf(flow), SND_PCM_NONBLOCK);
    if (rc < 0) {
        return hresultFromAlsa(rc);
    }
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    rc = snd_pcm_hw_params_any(pcm, hw);
    if (rc < 0) {
        snd_pcm_close(pcm);
        return hresultFromAlsa(rc);
    }
    struct Candidate {
        snd_pcm_format_t format;
        bool isFloat;
        int bits;
    };
    static constexpr Candidate candidates[] = {{SND_PCM_FORMAT_FLOAT_LE, true, 32},
                                               {SND_PCM_FORMAT_S32_LE, false, 32},
                                               {SND_PCM_FORMAT_S24_3LE, false, 24},
                                               {SND_PCM_FORMAT_S16_LE, false, 16},
                                               {SND_PCM_FORMAT_FLOAT64_LE, true, 64}};
    const Candidate* chosen = nullptr;
    for (const Candidate& c : candidates) {
        if (snd_pcm_hw_params_test_format(pcm, hw, c.format) == 0) {
            chosen = &c;
            break;
        }
    }
    unsigned channels = 2;
    if (snd_pcm_hw_params_test_channels(pcm, hw, 2) != 0) {
        snd_pcm_hw_params_get_channels_min(hw, &channels);
    }
    unsigned rate = 48000;
    if (snd_pcm_hw_params_test_rate(pcm, hw, 48000, 0) != 0) {
        int dir = 0;
        snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, &dir);
    }
    snd_pcm_close(pcm);
    if (chosen == nullptr) {
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    }
    out = makeWaveFormat(chosen->isFloat, static_cast<int>(channels), static_cast<int>(rate),
                         chosen->bits);
    return S_OK;
}

std::int64_t timespecNs(const snd_htimestamp_t& ts) {
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

class AlsaEndpointClient final : public AudioEndpointClient {
public:
    explicit AlsaEndpointClient(AlsaTarget target) : t_(std::move(target)) {}
    ~AlsaEndpointClient() override {
        if (pcm_ != nullptr) {
            snd_pcm_close(pcm_);
        }
    }

    HRESULT getMixFormat(WaveFormat& out) override {
        if (t_.server) {
            out = makeWaveFormat(true, t_.channels, t_.rate, 32);
            return S_OK;
        }
        return probeMixFormat(t_.sharedPcm, t_.flow, out);
    }

    HRESULT isFormatSupported(ShareMode mode, const WaveFormat& format) override {
        DeviceFormat f;
        if (!checkDeviceFormat(f, &format)) {
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        if (mode == ShareMode::shared) {
            WaveFormat mix;
            const HRESULT hr = getMixFormat(mix);
            if (failed(hr)) {
                return hr;
            }
            return mix.nSamplesPerSec == format.nSamplesPerSec &&
                           mix.nChannels == format.nChannels &&
                           mix.wBitsPerSample == format.wBitsPerSample
                       ? S_OK
                       : S_FALSE;
        }
        if (t_.exclusivePcm.empty()) {
            return AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
        }
        snd_pcm_t* pcm = nullptr;
        int rc = snd_pcm_open(&pcm, t_.exclusivePcm.c_str(), streamOf(t_.flow), SND_PCM_NONBLOCK);
        if (rc < 0) {
            return hresultFromAlsa(rc);
        }
        snd_pcm_hw_params_t* hw = nullptr;
        snd_pcm_hw_params_alloca(&hw);
        const bool ok =
            snd_pcm_hw_params_any(pcm, hw) >= 0 &&
            snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) == 0 &&
            snd_pcm_hw_params_set_format(pcm, hw, alsaFormatOf(f)) == 0 &&
            snd_pcm_hw_params_set_channels(pcm, hw, static_cast<unsigned>(f.channels)) == 0 &&
            snd_pcm_hw_params_set_rate(pcm, hw, static_cast<unsigned>(f.sampleRate), 0) == 0;
        snd_pcm_close(pcm);
        return ok ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
    }

    HRESULT getDevicePeriod(std::int64_t& def, std::int64_t& minimum) override {
        if (t_.server && t_.clock.quantum > 0 && t_.rate > 0) {
            def = std::llrint(t_.clock.quantum * 1e7 / t_.rate);
            minimum = std::llrint(std::max(t_.clock.minimumQuantum, 16) * 1e7 / t_.rate);
        } else {
            def = 100000;
            minimum = 30000;
        }
        return S_OK;
    }

    HRESULT getSharedModeEnginePeriod(const WaveFormat&, std::uint32_t& def,
                                      std::uint32_t& fundamental, std::uint32_t& minimum,
                                      std::uint32_t& maximum) override {
        if (!t_.server) {
            return E_NOINTERFACE;
        }
        def = static_cast<std::uint32_t>(t_.clock.quantum > 0 ? t_.clock.quantum : 1024);
        fundamental = 16;
        minimum = static_cast<std::uint32_t>(std::max(t_.clock.minimumQuantum, 32));
        maximum = static_cast<std::uint32_t>(
            std::clamp(t_.clock.maximumQuantum > 0 ? t_.clock.maximumQuantum : 2048, 32, 2048));
        return S_OK;
    }

    HRESULT initializeSharedAudioStream(std::uint32_t period, const WaveFormat& format) override {
        if (!t_.server) {
            return E_NOINTERFACE;
        }
        return open(t_.sharedPcm, format, period, std::min<std::uint32_t>(8 * period, 4096), false);
    }

    HRESULT initialize(ShareMode mode, std::int64_t bufferDuration, std::int64_t,
                       const WaveFormat& format) override {
        if (pcm_ != nullptr) {
            return AUDCLNT_E_ALREADY_INITIALIZED;
        }
        if (mode == ShareMode::exclusive) {
            if (t_.exclusivePcm.empty()) {
                return AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
            }
            const auto period = static_cast<std::uint32_t>(
                std::llrint(bufferDuration * 1e-7 * format.nSamplesPerSec));
            return open(t_.exclusivePcm, format, period, 2 * period, true);
        }
        std::int64_t def = 0, minimum = 0;
        getDevicePeriod(def, minimum);
        const auto period =
            static_cast<std::uint32_t>(std::llrint(def * 1e-7 * format.nSamplesPerSec));
        return open(t_.sharedPcm, format, period, std::min<std::uint32_t>(4 * period, 4096), false);
    }

    HRESULT getBufferSize(std::uint32_t& frames) override {
        if (pcm_ == nullptr) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        frames = bufferFrames_;
        return S_OK;
    }

    HRESULT getStreamLatency(std::int64_t& latency) override {
        if (pcm_ == nullptr) {
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
            const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
            if (avail < 0 || static_cast<std::uint64_t>(avail) >= period_) {
                return WaitResult::signalled; // errors surface in the next call
            }
            const std::int64_t left = (deadline - monotonicNanoseconds()) / 1'000'000;
            if (left <= 0) {
                return WaitResult::timeout;
            }
            // Slices keep the stop event responsive; snd_pcm_wait sleeps in the plug-in.
            snd_pcm_wait(pcm_, static_cast<int>(std::min<std::int64_t>(left, 20)));
        }
    }

    HRESULT start() override {
        const int rc = snd_pcm_start(pcm_);
        startedAt_ = monotonicNanoseconds();
        watch_.reset();
        return rc < 0 ? hresultFromAlsa(rc) : S_OK;
    }

    HRESULT stop() noexcept override {
        if (pcm_ != nullptr) {
            snd_pcm_drop(pcm_);
        }
        return S_OK;
    }

    HRESULT getCurrentPadding(std::uint32_t& frames) noexcept override {
        snd_pcm_sframes_t avail = snd_pcm_avail(pcm_);
        if (avail == -EPIPE || avail == -ESTRPIPE) {
            // An underrun: start over with an empty buffer. The time it ran dry is settled at
            // the next position, so it is not found a second time.
            if (snd_pcm_prepare(pcm_) < 0) {
                return E_FAIL;
            }
            restart_ = true;
            settle_ = true;
            ++underruns_;
            avail = static_cast<snd_pcm_sframes_t>(hwBuffer_);
        } else if (avail < 0) {
            return hresultFromAlsa(static_cast<int>(avail));
        }
        const auto free = static_cast<std::uint32_t>(
            std::min<snd_pcm_sframes_t>(avail, static_cast<snd_pcm_sframes_t>(hwBuffer_)));
        if (!exclusive_ && !restart_) {
            watchRender(hwBuffer_ - free);
        }
        if (exclusive_) {
            frames = std::min(bufferFrames_, hwBuffer_ - free);
        } else {
            // The server takes whole periods, so space is offered in whole periods.
            frames = bufferFrames_ - std::min(bufferFrames_, free / period_ * period_);
        }
        return S_OK;
    }

    HRESULT getBuffer(std::uint32_t frames, std::uint8_t*& data) noexcept override {
        if (frames > bufferFrames_) {
            return AUDCLNT_E_BUFFER_TOO_LARGE;
        }
        data = bytes_.data();
        return S_OK;
    }

    HRESULT releaseBuffer(std::uint32_t frames, std::uint32_t flags) noexcept override {
        if (flags & AUDCLNT_BUFFERFLAGS_SILENT) {
            std::memset(bytes_.data(), 0, static_cast<std::size_t>(frames) * align_);
        }
        std::uint32_t done = 0;
        bool retried = false;
        while (done < frames) {
            const snd_pcm_sframes_t r = snd_pcm_writei(
                pcm_, bytes_.data() + static_cast<std::size_t>(done) * align_, frames - done);
            if (r >= 0) {
                done += static_cast<std::uint32_t>(r);
                continue;
            }
            if (r == -EAGAIN) {
                break; // the device has no room after all: drop the rest
            }
            if ((r == -EPIPE || r == -ESTRPIPE) && !retried) {
                retried = true;
                if (snd_pcm_prepare(pcm_) < 0) {
                    return E_FAIL;
                }
                restart_ = true;
                continue;
            }
            return hresultFromAlsa(static_cast<int>(r));
        }
        written_ += done;
        if (restart_) {
            restart_ = false;
            const int rc = snd_pcm_start(pcm_);
            if (rc < 0) {
                return hresultFromAlsa(rc);
            }
        }
        return S_OK;
    }

    EndpointUnderruns takeUnderruns() noexcept override {
        const EndpointUnderruns out{underruns_, skipped_ - skippedTaken_};
        underruns_ = 0;
        skippedTaken_ = skipped_;
        return out;
    }

    HRESULT getNextPacketSize(std::uint32_t& frames) noexcept override {
        if (silence_ > 0) {
            frames = silence_;
            return S_OK;
        }
        snd_pcm_sframes_t avail = snd_pcm_avail(pcm_);
        if (avail == -EPIPE || avail == -ESTRPIPE) {
            // An overrun: audio was lost; restart, flag the next packet and fill in what the
            // next position shows as lost.
            if (snd_pcm_prepare(pcm_) < 0 || snd_pcm_start(pcm_) < 0) {
                return E_FAIL;
            }
            lostData_ = true;
            settle_ = true;
            frames = 0;
            return S_OK;
        }
        if (avail < 0) {
            return hresultFromAlsa(static_cast<int>(avail));
        }
        if (static_cast<std::uint64_t>(avail) > hwBuffer_) {
            lostData_ = true;
        }
        if (static_cast<std::uint64_t>(avail) < period_) {
            frames = 0;
            return S_OK;
        }
        if (!exclusive_) {
            watchCapture(static_cast<std::uint64_t>(avail));
        }
        frames = silence_ > 0 ? silence_ : period_;
        return S_OK;
    }

    HRESULT getCaptureBuffer(std::uint8_t*& data, std::uint32_t& frames, std::uint32_t& flags,
                             std::uint64_t& position, std::uint64_t& qpc) noexcept override {
        snd_pcm_uframes_t availAt = 0;
        snd_htimestamp_t ts{};
        std::int64_t newestAt = monotonicNanoseconds();
        if (snd_pcm_htimestamp(pcm_, &availAt, &ts) == 0 && timespecNs(ts) > 0) {
            newestAt = timespecNs(ts);
        } else {
            const snd_pcm_sframes_t a = snd_pcm_avail_update(pcm_);
            availAt = a > 0 ? static_cast<snd_pcm_uframes_t>(a) : 0;
        }
        // The silence that stands in for lost audio comes before the frames available now.
        const std::uint32_t silent = silence_;
        double firstAt = static_cast<double>(newestAt) -
                         static_cast<double>(availAt + silent) * 1e9 / format_.sampleRate;
        if (silent > 0) {
            frames = silent;
            flags = AUDCLNT_BUFFERFLAGS_SILENT | AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
            lostData_ = false;
            releasingSilence_ = true;
        } else {
            const snd_pcm_sframes_t r = snd_pcm_readi(pcm_, bytes_.data(), period_);
            if (r < 0) {
                return hresultFromAlsa(static_cast<int>(r));
            }
            frames = static_cast<std::uint32_t>(r);
            flags = lostData_ ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0;
            lostData_ = false;
        }
        data = bytes_.data();
        position = read_ + skipped_;
        qpc = static_cast<std::uint64_t>(std::max(0.0, firstAt / 100.0));
        return S_OK;
    }

    HRESULT releaseCaptureBuffer(std::uint32_t frames) noexcept override {
        read_ += frames;
        if (releasingSilence_) {
            releasingSilence_ = false;
            silence_ = 0;
        }
        return S_OK;
    }

    HRESULT getClockFrequency(std::uint64_t& frequency) override {
        frequency = static_cast<std::uint64_t>(format_.sampleRate);
        return S_OK;
    }

    HRESULT getClockPosition(std::uint64_t& position, std::uint64_t& qpc) noexcept override {
        snd_pcm_uframes_t avail = 0;
        snd_htimestamp_t ts{};
        if (snd_pcm_htimestamp(pcm_, &avail, &ts) < 0 || timespecNs(ts) <= 0) {
            return E_FAIL;
        }
        const std::uint64_t queued = hwBuffer_ - std::min<std::uint64_t>(avail, hwBuffer_);
        position = t_.flow == DataFlow::render ? written_ - std::min(written_, queued) + skipped_
                                               : read_ + skipped_ + avail;
        qpc = static_cast<std::uint64_t>(timespecNs(ts) / 100);
        return S_OK;
    }

private:
    double elapsedFrames() const noexcept {
        return static_cast<double>(monotonicNanoseconds() - startedAt_) * 1e-9 * format_.sampleRate;
    }

    // The frames lost by the time the stream's position reached `position`: what the device
    // reported itself (`known`, all of the lag's rise) or what the watch found. 0 for a
    // position already looked at.
    double lostAt(std::uint64_t position, bool& known) noexcept {
        known = false;
        if (position == lastPosition_) {
            return 0.0;
        }
        lastPosition_ = position;
        const double elapsed = elapsedFrames();
        const double lag = elapsed - static_cast<double>(position);
        known = settle_;
        settle_ = false;
        return known ? watch_.settle(lag, elapsed) : watch_.check(lag, elapsed, period_);
    }

    // Render: the device's position is what it consumed plus what it played without us.
    void watchRender(std::uint64_t queued) noexcept {
        bool known = false;
        const double lost = lostAt(written_ - std::min(written_, queued) + skipped_, known);
        if (lost >= 1.0) {
            skipped_ += static_cast<std::uint64_t>(std::llround(lost));
            underruns_ += known ? 0 : 1;
        }
    }

    // Capture: lost audio is owed as one silent packet (at most a buffer, so the stream's
    // queue regains its fill without growing beyond it) flagged as a discontinuity; the device
    // position counts all of it.
    void watchCapture(std::uint64_t avail) noexcept {
        bool known = false;
        const double lost = lostAt(read_ + skipped_ + avail, known);
        if (lost >= 1.0) {
            const auto whole = static_cast<std::uint64_t>(std::llround(lost));
            silence_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(whole, bufferFrames_));
            skipped_ += whole - silence_;
            lastPosition_ += whole;
        }
    }

    HRESULT open(const std::string& name, const WaveFormat& wave, std::uint32_t period,
                 std::uint32_t buffer, bool exclusive) {
        if (!checkDeviceFormat(format_, &wave)) {
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        int rc = snd_pcm_open(&pcm_, name.c_str(), streamOf(t_.flow), SND_PCM_NONBLOCK);
        if (rc < 0) {
            pcm_ = nullptr;
            return hresultFromAlsa(rc);
        }
        snd_pcm_hw_params_t* hw = nullptr;
        snd_pcm_hw_params_alloca(&hw);
        snd_pcm_uframes_t periodSize = std::max<std::uint32_t>(period, 16);
        snd_pcm_uframes_t bufferSize = std::max<snd_pcm_uframes_t>(buffer, 2 * periodSize);
        int dir = 0;
        if ((rc = snd_pcm_hw_params_any(pcm_, hw)) < 0 ||
            (rc = snd_pcm_hw_params_set_rate_resample(pcm_, hw, exclusive ? 0 : 1)) < 0 ||
            (rc = snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
            (rc = snd_pcm_hw_params_set_format(pcm_, hw, alsaFormatOf(format_))) < 0 ||
            (rc = snd_pcm_hw_params_set_channels(pcm_, hw,
                                                 static_cast<unsigned>(format_.channels))) < 0 ||
            (rc = snd_pcm_hw_params_set_rate(pcm_, hw, static_cast<unsigned>(format_.sampleRate),
                                             0)) < 0) {
            return closeWith(AUDCLNT_E_UNSUPPORTED_FORMAT);
        }
        if ((rc = snd_pcm_hw_params_set_period_size_near(pcm_, hw, &periodSize, &dir)) < 0 ||
            (rc = snd_pcm_hw_params_set_buffer_size_near(pcm_, hw, &bufferSize)) < 0 ||
            (rc = snd_pcm_hw_params(pcm_, hw)) < 0) {
            return closeWith(hresultFromAlsa(rc));
        }
        snd_pcm_hw_params_get_period_size(hw, &periodSize, &dir);
        snd_pcm_hw_params_get_buffer_size(hw, &bufferSize);
        snd_pcm_sw_params_t* sw = nullptr;
        snd_pcm_sw_params_alloca(&sw);
        snd_pcm_uframes_t boundary = 0;
        if ((rc = snd_pcm_sw_params_current(pcm_, sw)) < 0 ||
            (rc = snd_pcm_sw_params_get_boundary(sw, &boundary)) < 0 ||
            (rc = snd_pcm_sw_params_set_avail_min(pcm_, sw, periodSize)) < 0 ||
            (rc = snd_pcm_sw_params_set_start_threshold(pcm_, sw, boundary)) < 0 ||
            (rc = snd_pcm_sw_params_set_tstamp_mode(pcm_, sw, SND_PCM_TSTAMP_ENABLE)) < 0) {
            return closeWith(hresultFromAlsa(rc));
        }
        snd_pcm_sw_params_set_tstamp_type(pcm_, sw, SND_PCM_TSTAMP_TYPE_MONOTONIC);
        if (t_.flow == DataFlow::render) {
            // Keep playing silence through an underrun instead of stopping, as a shared engine
            // does.
            snd_pcm_sw_params_set_stop_threshold(pcm_, sw, boundary);
            snd_pcm_sw_params_set_silence_threshold(pcm_, sw, 0);
            snd_pcm_sw_params_set_silence_size(pcm_, sw, boundary);
        }
        if ((rc = snd_pcm_sw_params(pcm_, sw)) < 0 || (rc = snd_pcm_prepare(pcm_)) < 0) {
            return closeWith(hresultFromAlsa(rc));
        }
        exclusive_ = exclusive;
        period_ = static_cast<std::uint32_t>(periodSize);
        hwBuffer_ = static_cast<std::uint32_t>(bufferSize);
        bufferFrames_ = exclusive ? period_ : hwBuffer_;
        align_ = format_.wave.nBlockAlign;
        bytes_.assign(static_cast<std::size_t>(std::max(hwBuffer_, bufferFrames_)) * align_, 0);
        return S_OK;
    }

    HRESULT closeWith(HRESULT hr) {
        snd_pcm_close(pcm_);
        pcm_ = nullptr;
        return hr;
    }

    AlsaTarget t_;
    snd_pcm_t* pcm_ = nullptr;
    DeviceFormat format_{};
    AudioEvent* event_ = nullptr;
    std::vector<std::uint8_t> bytes_;
    std::uint32_t period_ = 1;
    std::uint32_t hwBuffer_ = 0;
    std::uint32_t bufferFrames_ = 0;
    std::uint32_t align_ = 0;
    bool exclusive_ = false;
    bool restart_ = false;
    bool lostData_ = false;
    bool settle_ = false;
    bool releasingSilence_ = false;
    std::uint32_t underruns_ = 0;
    std::uint32_t silence_ = 0; // capture: frames of silence owed for lost audio
    std::uint64_t written_ = 0;
    std::uint64_t read_ = 0;    // capture: frames handed out, silence included
    std::uint64_t skipped_ = 0; // device frames lost and not handed out
    std::uint64_t skippedTaken_ = 0;
    std::uint64_t lastPosition_ = 0;
    std::int64_t startedAt_ = 0;
    LossWatch watch_;
};

class AlsaEndpoint final : public AudioEndpointDevice {
public:
    explicit AlsaEndpoint(AlsaTarget target) : t_(std::move(target)) {}
    std::string id() const override { return t_.id; }
    std::string friendlyName() const override { return t_.name; }
    DataFlow dataFlow() const override { return t_.flow; }
    HRESULT activate(std::unique_ptr<AudioEndpointClient>& out) override {
        out = std::make_unique<AlsaEndpointClient>(t_);
        return S_OK;
    }

private:
    AlsaTarget t_;
};

} // namespace

HRESULT AlsaEndpointProvider::enumerate(DataFlow flow, AudioEndpointDevices& out) {
    std::vector<std::shared_ptr<AudioEndpointDevice>> found;
    for (AlsaTarget& t : listTargets(flow)) {
        found.push_back(std::make_shared<AlsaEndpoint>(std::move(t)));
    }
    std::lock_guard lock(mutex_);
    for (auto it = listed_.begin(); it != listed_.end();) {
        it = it->second->dataFlow() == flow ? listed_.erase(it) : std::next(it);
    }
    for (const auto& device : found) {
        listed_[device->id()] = device;
        out.push_back(device);
    }
    return S_OK;
}

HRESULT AlsaEndpointProvider::getDevice(const std::string& id,
                                        std::shared_ptr<AudioEndpointDevice>& out) {
    {
        std::lock_guard lock(mutex_);
        const auto it = listed_.find(id);
        if (it != listed_.end()) {
            out = it->second;
            return S_OK;
        }
    }
    const DataFlow flow = id.rfind("alsa:playback:", 0) == 0 ? DataFlow::render : DataFlow::capture;
    AudioEndpointDevices devices;
    enumerate(flow, devices);
    for (const auto& device : devices) {
        if (device->id() == id) {
            out = device;
            return S_OK;
        }
    }
    return E_NOTFOUND;
}

} // namespace kestravon::ruvi
