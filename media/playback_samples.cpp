#include "media/playback_samples.h"

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>

namespace kestravon::ruvi {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Below this a lane comes from the ordinary heap.
constexpr std::size_t kMappedFrom = std::size_t{4} << 20;

std::size_t mappedSize(std::size_t bytes) {
    return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}

} // namespace

void* allocatePlaybackStorage(std::size_t bytes) {
    if (bytes < kMappedFrom) {
        void* p = std::malloc(bytes == 0 ? 1 : bytes);
        if (!p) {
            throw std::bad_alloc();
        }
        return p;
    }
    const std::size_t size = mappedSize(bytes);
    // Map one huge page more than needed and trim, so the region starts on a huge-page boundary.
    void* raw = ::mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        throw std::bad_alloc();
    }
    const auto base = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (base + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > base) {
        ::munmap(raw, aligned - base);
    }
    const std::uintptr_t tail = aligned + size;
    if (base + size + kHugePage > tail) {
        ::munmap(reinterpret_cast<void*>(tail), base + size + kHugePage - tail);
    }
    // A kernel without transparent huge pages keeps ordinary pages; nothing else changes.
    (void)::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void freePlaybackStorage(void* p, std::size_t bytes) noexcept {
    if (!p) {
        return;
    }
    if (bytes < kMappedFrom) {
        std::free(p);
        return;
    }
    ::munmap(p, mappedSize(bytes));
}

} // namespace kestravon::ruvi
