// The block render of a prepared graph. Everything here runs on the audio thread: no
// allocation, lock, log or system call. Loops without smoothing or delay run over whole blocks so
// the compiler can vectorise them; the per-frame paths keep the same arithmetic.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/mixing.h"
#include "engine/prepared_graph.h"

namespace kestravon::ruvi {

namespace {

inline float finiteOrZero(float x) noexcept {
    return std::isfinite(x) ? x : 0.0f;
}

inline float* channel(std::vector<float>& buffer, std::int32_t c) noexcept {
    return buffer.data() + static_cast<std::size_t>(c) * kBlockStride;
}

inline double levelGain(float dB) noexcept {
    return dB <= -120.0f ? 0.0 : std::pow(10.0, static_cast<double>(dB) / 20.0);
}

void gatherSource(GraphNode& n, const float* const* inputs, std::int32_t frames) noexcept {
    const float* lanes[2] = {inputs[n.sourceLanes[0]],
                             n.width == 2 ? inputs[n.sourceLanes[1]] : nullptr};
    if (n.sourceDelay.delay() == 0) {
        for (std::int32_t c = 0; c < n.width; ++c) {
            const float* lane = lanes[c];
            if (lane == nullptr) {
                continue;
            }
            float* in = channel(n.input, c);
            for (std::int32_t f = 0; f < frames; ++f) {
                in[f] += finiteOrZero(lane[f]);
            }
        }
        return;
    }
    float* in0 = channel(n.input, 0);
    float* in1 = n.width == 2 ? channel(n.input, 1) : nullptr;
    for (std::int32_t f = 0; f < frames; ++f) {
        float frame[2] = {lanes[0] != nullptr ? finiteOrZero(lanes[0][f]) : 0.0f,
                          lanes[1] != nullptr ? finiteOrZero(lanes[1][f]) : 0.0f};
        n.sourceDelay.step(frame);
        in0[f] += frame[0];
        if (in1 != nullptr) {
            in1[f] += frame[1];
        }
    }
}

void trimAndPolarity(GraphNode& n, std::int32_t frames) noexcept {
    const float trimDb = n.trimDb.load(std::memory_order_relaxed);
    const float sign = n.polarity.load(std::memory_order_relaxed) != 0.0f ? -1.0f : 1.0f;
    const float gain = static_cast<float>(levelGain(trimDb)) * sign;
    for (std::int32_t c = 0; c < n.width; ++c) {
        const float* in = channel(n.input, c);
        float* out = channel(n.processed, c);
        for (std::int32_t f = 0; f < frames; ++f) {
            out[f] = gain * in[f];
        }
    }
}

void runInserts(GraphNode& n, std::int32_t frames, float k) noexcept {
    float* processed[2] = {channel(n.processed, 0),
                           n.width == 2 ? channel(n.processed, 1) : nullptr};
    float* scratch[2] = {channel(n.insertScratch, 0),
                         n.width == 2 ? channel(n.insertScratch, 1) : nullptr};
    for (const auto& owned : n.inserts) {
        InsertSlot& slot = *owned;
        bool wet = false;
        if (slot.fault.load(std::memory_order_relaxed) == kInsertRunning) {
            if (slot.effect.needsReconfiguration()) {
                slot.fault.store(kInsertNeedsReconfiguration, std::memory_order_relaxed);
            } else if (slot.effect.process(processed, scratch, frames)) {
                wet = true;
            } else {
                slot.fault.store(kInsertProcessingFailed, std::memory_order_relaxed);
            }
        }
        const double target = slot.bypass.load(std::memory_order_relaxed) ? 1.0 : 0.0;
        for (std::int32_t f = 0; f < frames; ++f) {
            smoothBypass(slot.bypassMix, target, k);
            float dry[2] = {processed[0][f], n.width == 2 ? processed[1][f] : 0.0f};
            slot.dryDelay.step(dry);
            const double mix = slot.bypassMix;
            for (std::int32_t c = 0; c < n.width; ++c) {
                const float w = wet ? scratch[c][f] : 0.0f;
                float out;
                if (mix == 1.0) {
                    out = dry[c];
                } else if (mix == 0.0) {
                    out = w;
                } else {
                    out = static_cast<float>(w * (1.0 - mix) + dry[c] * mix);
                }
                processed[c][f] = finiteOrZero(out);
            }
        }
    }
}

void applyFader(GraphNode& n, std::int32_t frames, float k) noexcept {
    const bool muted = n.mute.load(std::memory_order_relaxed) != 0.0f;
    const double target = muted ? 0.0 : levelGain(n.gainDb.load(std::memory_order_relaxed));
    float peaks[2] = {0.0f, 0.0f};
    if (n.faderGain == target) {
        const double gain = target;
        for (std::int32_t c = 0; c < n.width; ++c) {
            const float* __restrict in = channel(n.processed, c);
            float* __restrict out = channel(n.postFader, c);
            // Finite magnitudes order like their bit patterns, and an integer maximum vectorises.
            std::uint32_t peakBits = 0;
            for (std::int32_t f = 0; f < frames; ++f) {
                const float v = finiteOrZero(static_cast<float>(in[f] * gain));
                out[f] = v;
                peakBits = std::max(peakBits, std::bit_cast<std::uint32_t>(v) & 0x7fffffffu);
            }
            peaks[c] = std::bit_cast<float>(peakBits);
        }
    } else {
        for (std::int32_t f = 0; f < frames; ++f) {
            smoothGain(n.faderGain, target, k);
            for (std::int32_t c = 0; c < n.width; ++c) {
                const float v =
                    finiteOrZero(static_cast<float>(channel(n.processed, c)[f] * n.faderGain));
                channel(n.postFader, c)[f] = v;
                peaks[c] = std::max(peaks[c], std::fabs(v));
            }
        }
    }
    n.peakL.store(peaks[0], std::memory_order_relaxed);
    n.peakR.store(n.width == 2 ? peaks[1] : peaks[0], std::memory_order_relaxed);
}

// Adds a whole block at a constant gain; c already carries the gain. Sources and destinations
// are different nodes' buffers, so the pointers never alias.
void mixBlock(float* destination, std::int32_t destinationWidth, const float* source0,
              const float* source1, std::int32_t sourceWidth, MixCoefficients c,
              std::int32_t frames) noexcept {
    float* __restrict left = destination;
    float* __restrict right = destination + kBlockStride;
    const float* __restrict s0 = source0;
    const float* __restrict s1 = source1;
    const float l0 = c.leftFrom0;
    const float l1 = c.leftFrom1;
    const float r0 = c.rightFrom0;
    const float r1 = c.rightFrom1;
    if (destinationWidth != 2) {
        if (sourceWidth == 2) {
            for (std::int32_t f = 0; f < frames; ++f) {
                left[f] += l0 * s0[f] + l1 * s1[f];
            }
        } else {
            for (std::int32_t f = 0; f < frames; ++f) {
                left[f] += l0 * s0[f];
            }
        }
        return;
    }
    const float* __restrict rightSource = sourceWidth == 2 ? s1 : s0;
    const float rightGain = sourceWidth == 2 ? r1 : r0;
    for (std::int32_t f = 0; f < frames; ++f) {
        left[f] += l0 * s0[f];
    }
    for (std::int32_t f = 0; f < frames; ++f) {
        right[f] += rightGain * rightSource[f];
    }
}

MixCoefficients scaled(MixCoefficients c, float gain) noexcept {
    c.leftFrom0 *= gain;
    c.leftFrom1 *= gain;
    c.rightFrom0 *= gain;
    c.rightFrom1 *= gain;
    return c;
}

void runSends(PreparedGraph& g, GraphNode& n, std::int32_t frames, float k) noexcept {
    const float pan = n.pan.load(std::memory_order_relaxed);
    const bool muted = n.mute.load(std::memory_order_relaxed) != 0.0f;
    for (const std::int32_t index : n.outgoing) {
        GraphEdge& edge = *g.edges[static_cast<std::size_t>(index)];
        GraphNode& destination = *g.nodes[static_cast<std::size_t>(edge.destination)];
        std::vector<float>& tapped = edge.tap == SendTap::rawInput   ? n.input
                                     : edge.tap == SendTap::preFader ? n.processed
                                                                     : n.postFader;
        const float* s0 = channel(tapped, 0);
        const float* s1 = n.width == 2 ? channel(tapped, 1) : nullptr;
        const bool preMuted = edge.tap != SendTap::postFader && muted;
        const double target =
            preMuted ? 0.0 : static_cast<double>(edge.gain.load(std::memory_order_relaxed));
        const MixCoefficients c = mixCoefficients(destination.width, n.width, pan);
        if (edge.smoothedGain == target && edge.alignment.delay() == 0) {
            if (target != 0.0) {
                mixBlock(destination.input.data(), destination.width, s0, s1, n.width,
                         scaled(c, static_cast<float>(target)), frames);
            }
            continue;
        }
        float* left = destination.input.data();
        float* right = left + kBlockStride;
        for (std::int32_t f = 0; f < frames; ++f) {
            smoothGain(edge.smoothedGain, target, k);
            float frame[2] = {s0[f], s1 != nullptr ? s1[f] : 0.0f};
            edge.alignment.step(frame);
            const auto gain = static_cast<float>(edge.smoothedGain);
            const float a = gain * frame[0];
            const float b = n.width == 2 ? gain * frame[1] : 0.0f;
            left[f] += c.leftFrom0 * a + c.leftFrom1 * b;
            if (destination.width == 2) {
                right[f] += c.rightFrom0 * a + c.rightFrom1 * b;
            }
        }
    }
}

void feedSolo(PreparedGraph& g, GraphNode& n, std::int32_t frames) noexcept {
    if (g.cueIndex < 0 || n.solo.load(std::memory_order_relaxed) == 0.0f) {
        return;
    }
    GraphNode& cue = *g.nodes[static_cast<std::size_t>(g.cueIndex)];
    const MixCoefficients c = mixCoefficients(2, n.width, n.pan.load(std::memory_order_relaxed));
    mixBlock(cue.input.data(), 2, channel(n.processed, 0),
             n.width == 2 ? channel(n.processed, 1) : nullptr, n.width, c, frames);
}

void renderCueMonitor(GraphNode& cue, std::int32_t frames) noexcept {
    const bool muted = cue.mute.load(std::memory_order_relaxed) != 0.0f;
    const auto gain =
        static_cast<float>(muted ? 0.0 : levelGain(cue.gainDb.load(std::memory_order_relaxed)));
    float peaks[2] = {0.0f, 0.0f};
    for (std::int32_t c = 0; c < 2; ++c) {
        const float* in = channel(cue.input, c);
        float* out = channel(cue.postFader, c);
        for (std::int32_t f = 0; f < frames; ++f) {
            out[f] = finiteOrZero(gain * in[f]);
            peaks[c] = std::max(peaks[c], std::fabs(out[f]));
        }
    }
    cue.peakL.store(peaks[0], std::memory_order_relaxed);
    cue.peakR.store(peaks[1], std::memory_order_relaxed);
}

void writeOutputs(GraphNode& n, float* const* outputs, std::int32_t frames) noexcept {
    float* lanes[2] = {outputs[n.outputLanes[0]],
                       n.width == 2 ? outputs[n.outputLanes[1]] : nullptr};
    const float* post0 = channel(n.postFader, 0);
    const float* post1 = n.width == 2 ? channel(n.postFader, 1) : nullptr;
    if (n.outputDelay.delay() == 0) {
        const float* post[2] = {post0, post1};
        for (std::int32_t c = 0; c < n.width; ++c) {
            if (lanes[c] == nullptr) {
                continue;
            }
            for (std::int32_t f = 0; f < frames; ++f) {
                lanes[c][f] += post[c][f];
            }
        }
        return;
    }
    for (std::int32_t f = 0; f < frames; ++f) {
        float frame[2] = {post0[f], post1 != nullptr ? post1[f] : 0.0f};
        n.outputDelay.step(frame);
        for (std::int32_t c = 0; c < n.width; ++c) {
            if (lanes[c] != nullptr) {
                lanes[c][f] += frame[c];
            }
        }
    }
}

} // namespace

void PreparedGraph::render(const float* const* inputs, float* const* outputs,
                           std::int32_t frames) noexcept {
    if (frames <= 0 || frames > maximumBlock) {
        return;
    }
    const float k = smoothingCoefficient(sampleRate);
    const auto bytes = static_cast<std::size_t>(frames) * sizeof(float);
    for (const auto& node : nodes) {
        for (std::int32_t c = 0; c < node->width; ++c) {
            std::memset(channel(node->input, c), 0, bytes);
            std::memset(channel(node->processed, c), 0, bytes);
            std::memset(channel(node->postFader, c), 0, bytes);
        }
    }
    for (const std::int32_t index : order) {
        if (index == cueIndex) {
            continue;
        }
        GraphNode& n = *nodes[static_cast<std::size_t>(index)];
        if (n.sourceLaneCount > 0 && inputs != nullptr) {
            gatherSource(n, inputs, frames);
        }
        trimAndPolarity(n, frames);
        float* strip[2] = {channel(n.processed, 0),
                           n.width == 2 ? channel(n.processed, 1) : nullptr};
        n.strip.process(strip, n.width, frames);
        runInserts(n, frames, k);
        applyFader(n, frames, k);
        runSends(*this, n, frames, k);
        feedSolo(*this, n, frames);
    }
    if (cueIndex >= 0) {
        renderCueMonitor(*nodes[static_cast<std::size_t>(cueIndex)], frames);
    }
    if (outputs == nullptr) {
        return;
    }
    for (const auto& node : nodes) {
        if (node->hasOutputs()) {
            writeOutputs(*node, outputs, frames);
        }
    }
}

} // namespace kestravon::ruvi
