#include "engine/strip_snapshot.h"

namespace kestravon::ruvi {
namespace {

double flag(bool value) {
    return value ? 1.0 : 0.0;
}

} // namespace

StripSnapshot::Packed StripSnapshot::pack(const StripProcessing& record) noexcept {
    Packed p{};
    std::size_t i = 0;
    p[i++] = flag(record.hpf.enabled);
    p[i++] = record.hpf.frequencyHz;
    p[i++] = flag(record.eq.enabled);
    for (const EqBand& band : record.eq.bands) {
        p[i++] = flag(band.enabled);
        p[i++] = static_cast<double>(band.type);
        p[i++] = band.frequencyHz;
        p[i++] = band.gainDb;
        p[i++] = band.q;
    }
    const auto& g = record.gate;
    p[i++] = flag(g.enabled);
    p[i++] = g.thresholdDb;
    p[i++] = g.ratio;
    p[i++] = g.rangeDb;
    p[i++] = g.kneeDb;
    p[i++] = g.attackMs;
    p[i++] = g.holdMs;
    p[i++] = g.releaseMs;
    const auto& c = record.compressor;
    p[i++] = flag(c.enabled);
    p[i++] = c.thresholdDb;
    p[i++] = c.ratio;
    p[i++] = c.kneeDb;
    p[i++] = c.attackMs;
    p[i++] = c.releaseMs;
    p[i++] = c.makeupDb;
    return p;
}

StripProcessing StripSnapshot::unpack(const Packed& p) noexcept {
    StripProcessing r;
    std::size_t i = 0;
    r.hpf.enabled = p[i++] != 0.0;
    r.hpf.frequencyHz = p[i++];
    r.eq.enabled = p[i++] != 0.0;
    for (EqBand& band : r.eq.bands) {
        band.enabled = p[i++] != 0.0;
        band.type = static_cast<int32_t>(p[i++]);
        band.frequencyHz = p[i++];
        band.gainDb = p[i++];
        band.q = p[i++];
    }
    auto& g = r.gate;
    g.enabled = p[i++] != 0.0;
    g.thresholdDb = p[i++];
    g.ratio = p[i++];
    g.rangeDb = p[i++];
    g.kneeDb = p[i++];
    g.attackMs = p[i++];
    g.holdMs = p[i++];
    g.releaseMs = p[i++];
    auto& c = r.compressor;
    c.enabled = p[i++] != 0.0;
    c.thresholdDb = p[i++];
    c.ratio = p[i++];
    c.kneeDb = p[i++];
    c.attackMs = p[i++];
    c.releaseMs = p[i++];
    c.makeupDb = p[i++];
    return r;
}

// Ordering: the slots are stored with release and loaded with acquire rather than relaxed
// accesses between stand-alone fences. On x86-64 both compile to plain moves, and unlike fences
// they are modelled by ThreadSanitizer. A reader that loads any slot of a record in progress
// therefore also sees the odd counter value stored before it, and its closing counter read
// differs from its opening one.
void StripSnapshot::publish(const StripProcessing& record) noexcept {
    const Packed packed = pack(record);
    sequence_.fetch_add(1, std::memory_order_relaxed); // now odd
    for (std::size_t i = 0; i < kSlots; ++i) {
        slots_[i].store(packed[i], std::memory_order_release);
    }
    sequence_.fetch_add(1, std::memory_order_release); // even again
}

bool StripSnapshot::tryPull(int64_t& lastApplied, StripProcessing& out) noexcept {
    const uint64_t before = sequence_.load(std::memory_order_acquire);
    // Zero: nothing published yet, and all-zero slots are no usable record.
    if (before == 0 || (before & 1U) != 0 || static_cast<int64_t>(before) == lastApplied) {
        return false;
    }
    Packed packed;
    for (std::size_t i = 0; i < kSlots; ++i) {
        packed[i] = slots_[i].load(std::memory_order_acquire);
    }
    if (sequence_.load(std::memory_order_relaxed) != before) {
        return false;
    }
    out = unpack(packed);
    lastApplied = static_cast<int64_t>(before);
    return true;
}

} // namespace kestravon::ruvi
