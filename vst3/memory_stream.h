#pragma once

#include "pluginterfaces/base/ibstream.h"

#include <cstdint>
#include <vector>

namespace kestravon::ruvi {

// An IBStream over memory for one save or restore, bounded to 16 MiB; built on the caller's
// stack and never reference counted. UI thread only.
class MemoryStream final : public Steinberg::IBStream {
public:
    static constexpr std::int64_t kBound = 16777216;

    MemoryStream() = default;
    explicit MemoryStream(std::vector<std::uint8_t> initial) : bytes_(std::move(initial)) {}

    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
    Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
    Steinberg::uint32 PLUGIN_API release() override { return 1; }
    Steinberg::tresult PLUGIN_API read(void* buffer, Steinberg::int32 numBytes,
                                       Steinberg::int32* numBytesRead) override;
    Steinberg::tresult PLUGIN_API write(void* buffer, Steinberg::int32 numBytes,
                                        Steinberg::int32* numBytesWritten) override;
    Steinberg::tresult PLUGIN_API seek(Steinberg::int64 pos, Steinberg::int32 mode,
                                       Steinberg::int64* result) override;
    Steinberg::tresult PLUGIN_API tell(Steinberg::int64* pos) override;

    const std::vector<std::uint8_t>& bytes() const noexcept { return bytes_; }
    bool overflowed() const noexcept { return overflow_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::int64_t position_ = 0;
    bool overflow_ = false;
};

} // namespace kestravon::ruvi
