#include "audio/wasapi_backend.h"

#include <set>

#include "audio/backend_impl.h"

namespace kestravon::ruvi {

namespace {

const char* stateText(StreamState state) {
    switch (state) {
    case StreamState::preparing:
        return "preparing";
    case StreamState::prepared:
        return "prepared";
    case StreamState::running:
        return "running";
    case StreamState::stopped:
        return "stopped";
    case StreamState::fault:
        return "fault";
    }
    return "fault";
}

const EndpointInfo* findEntry(const std::vector<EndpointInfo>& catalogue, const std::string& id,
                              bool capture) {
    for (const EndpointInfo& entry : catalogue) {
        if (entry.id == id && entry.capture == capture) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

WasapiBackend::WasapiBackend() : WasapiBackend(EndpointCatalogue::system()) {}

WasapiBackend::WasapiBackend(std::shared_ptr<EndpointCatalogue> catalogue)
    : impl_(std::make_unique<Impl>(std::move(catalogue))) {}

WasapiBackend::~WasapiBackend() {
    std::lock_guard lock(impl_->mutex);
    impl_->stopAndJoin();
}

bool WasapiBackend::start(const AudioDeviceConfig& config, DeviceRenderCallback callback,
                          void* userData, std::string& error) {
    Impl& m = *impl_;
    std::lock_guard lock(m.mutex);
    error.clear();
    if (m.running.load()) {
        error = "Backend already running; stop before reconfiguration.";
        return false;
    }
    if (callback == nullptr || config.outputs.empty() ||
        config.inputs.size() + config.outputs.size() > 64 || config.requestedRate < 8000 ||
        config.requestedRate > 192000 || config.requestedBlock < 16 ||
        config.requestedBlock > 4096) {
        error = "Invalid callback/device/rate/block configuration.";
        return false;
    }
    std::set<std::string> seen;
    for (const auto* list : {&config.inputs, &config.outputs}) {
        for (const EndpointSelection& selection : *list) {
            if (selection.id.empty() || !isValidUtf8(selection.id) ||
                !seen.insert(selection.id).second) {
                error = "Empty, invalid or duplicated endpoint ID.";
                return false;
            }
        }
    }
    const std::string masterId =
        config.masterOutputId.empty() ? config.outputs.front().id : config.masterOutputId;
    const EndpointSelection* masterSelection = nullptr;
    for (const EndpointSelection& output : config.outputs) {
        if (output.id == masterId) {
            masterSelection = &output;
        }
    }
    if (masterSelection == nullptr) {
        error = "Master must be an explicitly selected render endpoint.";
        return false;
    }
    std::vector<EndpointInfo> catalogue;
    enumerateEndpoints(*m.catalogue, catalogue, error);
    if (!error.empty()) {
        return false;
    }
    for (const bool capture : {true, false}) {
        std::set<std::string> keys;
        for (const EndpointSelection& selection : capture ? config.inputs : config.outputs) {
            const EndpointInfo* entry = findEntry(catalogue, selection.id, capture);
            if (entry == nullptr) {
                error = "Selected endpoint absent from current device catalogue or wrong "
                        "direction: " +
                        selection.id;
                return false;
            }
            const std::string key = entry->physicalUnitId.empty()
                                        ? physicalLabelKey(entry->name, entry->id)
                                        : entry->physicalUnitId;
            if (!keys.insert(key).second) {
                error = std::string("Select only one ") + (capture ? "input" : "output") +
                        " endpoint per physical UMC404HD label; IN/OUT 1-4 overlaps the 1-2 and "
                        "3-4 aliases: " +
                        entry->name;
                return false;
            }
        }
    }
    const EndpointInfo* masterEntry = findEntry(catalogue, masterId, false);
    if (masterEntry == nullptr || !masterEntry->available) {
        error = "The selected clock output is unavailable. Refresh devices and choose an "
                "available output.";
        return false;
    }
    if (!masterSelection->exclusive && masterEntry->sampleRate != config.requestedRate) {
        const std::string rate = std::to_string(masterEntry->sampleRate);
        error = "Audio output \"" + masterEntry->name + "\" uses " + rate +
                " Hz in shared mode, but RUVI requests " + std::to_string(config.requestedRate) +
                " Hz. Choose Automatic sample rate or match RUVI to " + rate +
                " Hz in Advanced setup.";
        return false;
    }

    m.stopAndJoin();
    m.endpoints.clear();
    m.stopRequested.store(false);

    m.inputs = config.inputs;
    m.outputs = config.outputs;
    m.masterOutputId = config.masterOutputId;
    m.sampleRate = config.requestedRate;
    m.blockFrames = config.requestedBlock;
    m.preferLowLatencyShared = config.preferLowLatencyShared;
    m.callback = callback;
    m.userData = userData;
    m.callbacks.store(0);
    m.xruns.store(0);
    m.renderDeadlineOverruns.store(0);
    m.maximumCallbackMs.store(0.0);
    m.maximumRenderWorkMs.store(0.0);
    m.inputChannels = 0;
    m.outputChannels = 0;
    m.masterMeasuredRate.store(config.requestedRate);
    m.error.clear();
    m.inputPlanes.clear();
    m.outputPlanes.clear();
    m.inputPointers.clear();
    m.outputPointers.clear();
    m.activationEvent = std::make_unique<AudioEvent>(true);

    std::vector<std::string> catalogueNames;
    try {
        for (const bool capture : {true, false}) {
            for (const EndpointSelection& selection : capture ? config.inputs : config.outputs) {
                auto stream = EndpointStream::create();
                stream->backend = &m;
                stream->id = selection.id;
                stream->exclusive = selection.exclusive;
                stream->capture = capture;
                stream->isMaster = !capture && selection.id == masterId;
                const EndpointInfo* entry = findEntry(catalogue, selection.id, capture);
                catalogueNames.push_back(entry != nullptr ? entry->name : std::string());
                m.endpoints.push_back(std::move(stream));
            }
        }
        for (auto& stream : m.endpoints) {
            EndpointStream* s = stream.get();
            s->thread = std::thread([&m, s] { runEndpointThread(m, *s); });
        }
    } catch (const std::exception&) {
        m.stopAndJoin();
        error = m.error = "Cannot allocate endpoint resources or workers.";
        return false;
    }

    std::int32_t totals[2] = {0, 0};
    for (std::size_t i = 0; i < m.endpoints.size(); ++i) {
        EndpointStream& s = *m.endpoints[i];
        const WaitResult r = s.preparedEvent.waitFor(10000);
        if (r != WaitResult::signalled || s.currentState() != StreamState::prepared) {
            m.stopAndJoin();
            error = m.error =
                prepareFailureMessage(m.endpoints, catalogueNames, i, r == WaitResult::timeout);
            return false;
        }
        std::int32_t& total = totals[s.capture ? 0 : 1];
        s.firstChannel = total;
        total += s.format.channels;
        if (total > 256) {
            m.stopAndJoin();
            error = m.error = "Negotiated aggregate exceeds prepared channel limit.";
            return false;
        }
    }
    m.inputChannels = totals[0];
    m.outputChannels = totals[1];
    try {
        m.inputPlanes.assign(static_cast<std::size_t>(m.inputChannels) * 4096, 0.0f);
        m.outputPlanes.assign(static_cast<std::size_t>(m.outputChannels) * 4096, 0.0f);
        for (std::int32_t c = 0; c < m.inputChannels; ++c) {
            m.inputPointers.push_back(m.inputPlanes.data() + static_cast<std::size_t>(c) * 4096);
        }
        for (std::int32_t c = 0; c < m.outputChannels; ++c) {
            m.outputPointers.push_back(m.outputPlanes.data() + static_cast<std::size_t>(c) * 4096);
        }
    } catch (const std::bad_alloc&) {
        error = m.error = "Cannot allocate aggregate planar buffers.";
        m.stopAndJoin();
        return false;
    }
    m.running.store(true);
    m.activationEvent->set();
    return true;
}

BackendStatus WasapiBackend::status() {
    Impl& m = *impl_;
    std::lock_guard lock(m.mutex);
    BackendStatus out;
    out.running = m.running.load();
    if (!m.endpoints.empty()) {
        out.sampleRate = m.sampleRate;
        out.blockFrames = m.blockFrames;
    }
    out.inputChannels = m.inputChannels;
    out.outputChannels = m.outputChannels;
    out.callbacks = m.callbacks.load();
    out.xruns = m.xruns.load();
    out.maximumCallbackMs = m.maximumCallbackMs.load();
    out.maximumRenderWorkMs = m.maximumRenderWorkMs.load();
    out.renderDeadlineOverruns = m.renderDeadlineOverruns.load();
    out.error = m.error;
    std::string faultText;
    for (const auto& owned : m.endpoints) {
        const EndpointStream& s = *owned;
        EndpointStatus e;
        e.id = s.id;
        e.name = s.name;
        const StreamState state = s.currentState();
        e.status = stateText(state);
        if (state == StreamState::fault) {
            e.status += " " + hresultText(s.faultHresult.load());
            if (faultText.empty()) {
                faultText = e.status + " (" + s.id + ")";
            }
        }
        e.capture = s.capture;
        e.firstChannel = s.firstChannel;
        e.channels = s.format.channels;
        e.sampleRate = s.format.sampleRate;
        e.correctionPpm = s.correctionPpm.load();
        e.queueMilliseconds = s.queueMilliseconds.load();
        e.discontinuities = s.discontinuities.load();
        e.missingFrames = s.missingFrames.load();
        e.bufferFrames = static_cast<std::int32_t>(s.bufferFrames);
        e.periodFrames = static_cast<std::int32_t>(s.periodFrames);
        e.targetQueueMilliseconds =
            s.isMaster || s.ringRate <= 0.0 ? 0.0 : s.resampler.target() * 1000.0 / s.ringRate;
        e.reportedLatencyMilliseconds = s.reportedLatencyMs;
        e.primed = s.primed.load();
        e.lowLatencyShared = s.lowLatencyShared;
        e.startupMissingFrames = s.startupMissingFrames.load();
        e.startupDiscontinuities = s.startupDiscontinuities.load();
        if (s.isMaster) {
            out.reportedOutputMs = s.reportedLatencyMs;
        }
        out.startupMissingFrames += e.startupMissingFrames;
        out.streams.push_back(std::move(e));
    }
    if (out.error.empty()) {
        out.error = faultText;
    }
    return out;
}

void WasapiBackend::stop() {
    std::lock_guard lock(impl_->mutex);
    impl_->stopAndJoin();
}

} // namespace kestravon::ruvi
