#include "vst3/memory_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kestravon::ruvi {

using Steinberg::kInvalidArgument;
using Steinberg::kResultOk;
using Steinberg::tresult;

tresult PLUGIN_API MemoryStream::queryInterface(const Steinberg::TUID iid, void** obj) {
    if (obj == nullptr) {
        return kInvalidArgument;
    }
    if (Steinberg::FUnknownPrivate::iidEqual(iid, Steinberg::IBStream::iid) ||
        Steinberg::FUnknownPrivate::iidEqual(iid, Steinberg::FUnknown::iid)) {
        *obj = this;
        return kResultOk;
    }
    *obj = nullptr;
    return Steinberg::kNoInterface;
}

tresult PLUGIN_API MemoryStream::read(void* buffer, Steinberg::int32 numBytes,
                                      Steinberg::int32* numBytesRead) {
    if (numBytesRead != nullptr) {
        *numBytesRead = 0;
    }
    if (numBytes < 0 || (buffer == nullptr && numBytes > 0)) {
        return kInvalidArgument;
    }
    const auto size = static_cast<std::int64_t>(bytes_.size());
    const std::int64_t k =
        std::max<std::int64_t>(0, std::min<std::int64_t>(numBytes, size - position_));
    if (k > 0) {
        std::memcpy(buffer, bytes_.data() + position_, static_cast<std::size_t>(k));
    }
    position_ += k;
    if (numBytesRead != nullptr) {
        *numBytesRead = static_cast<Steinberg::int32>(k);
    }
    // A read at the end answers kResultOk with 0 bytes, as the SDK's own stream does: plug-ins
    // read until they get 0 bytes and treat any other result as a broken state.
    return kResultOk;
}

tresult PLUGIN_API MemoryStream::write(void* buffer, Steinberg::int32 numBytes,
                                       Steinberg::int32* numBytesWritten) {
    if (numBytesWritten != nullptr) {
        *numBytesWritten = 0;
    }
    if (numBytes < 0 || (buffer == nullptr && numBytes > 0) || position_ > kBound ||
        position_ + numBytes > kBound) {
        overflow_ = true;
        return kInvalidArgument;
    }
    const auto end = static_cast<std::size_t>(position_ + numBytes);
    try {
        if (end > bytes_.size()) {
            if (end > bytes_.capacity()) {
                bytes_.reserve(std::max(end, bytes_.capacity() + bytes_.capacity() / 2));
            }
            bytes_.resize(end, 0); // a gap left by a seek past the end reads as zeros
        }
    } catch (const std::bad_alloc&) {
        overflow_ = true;
        return Steinberg::kOutOfMemory;
    }
    if (numBytes > 0) {
        std::memcpy(bytes_.data() + position_, buffer, static_cast<std::size_t>(numBytes));
    }
    position_ += numBytes;
    if (numBytesWritten != nullptr) {
        *numBytesWritten = numBytes;
    }
    return kResultOk;
}

tresult PLUGIN_API MemoryStream::seek(Steinberg::int64 pos, Steinberg::int32 mode,
                                      Steinberg::int64* result) {
    std::int64_t base = 0;
    switch (mode) {
    case kIBSeekSet:
        base = 0;
        break;
    case kIBSeekCur:
        base = position_;
        break;
    case kIBSeekEnd:
        base = static_cast<std::int64_t>(bytes_.size());
        break;
    default:
        return kInvalidArgument;
    }
    // Checked before adding so that an extreme offset cannot overflow.
    if (pos < -base || pos > kBound - base) {
        return kInvalidArgument;
    }
    position_ = base + pos;
    if (result != nullptr) {
        *result = position_;
    }
    return kResultOk;
}

tresult PLUGIN_API MemoryStream::tell(Steinberg::int64* pos) {
    if (pos == nullptr) {
        return kInvalidArgument;
    }
    *pos = position_;
    return kResultOk;
}

} // namespace kestravon::ruvi
