#pragma once
// The note that the memo test plug-in (ruvi_testplug_memo) keeps in its component state beside
// its four parameter values, read from and written into a "stateHex" as the host stores it.

#include "vst3/vst3_state_blob.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestravon::ruvi::testing {

// "COMP", four values, then the note's length (u32) and its bytes.
inline constexpr std::size_t kMemoLengthAt = 4 + 4 * sizeof(double);

// The note a state holds; throws when the state is not the memo plug-in's.
inline std::string memoOfState(const std::string& hex) {
    const std::vector<std::uint8_t> bytes = parseStateHex(hex);
    const Vst3StateBlob blob = Vst3StateBlob::parse(bytes);
    if (blob.component.size() < kMemoLengthAt + 4 ||
        std::memcmp(blob.component.data(), "COMP", 4) != 0) {
        throw std::runtime_error("not a memo plug-in state");
    }
    std::uint32_t size = 0;
    std::memcpy(&size, blob.component.data() + kMemoLengthAt, sizeof(size));
    if (blob.component.size() != kMemoLengthAt + 4 + size) {
        throw std::runtime_error("not a memo plug-in state");
    }
    return {reinterpret_cast<const char*>(blob.component.data()) + kMemoLengthAt + 4, size};
}

// The same state holding `memo` as its note.
inline std::string stateWithMemo(const std::string& hex, const std::string& memo) {
    memoOfState(hex); // checks the shape
    const std::vector<std::uint8_t> bytes = parseStateHex(hex);
    Vst3StateBlob blob = Vst3StateBlob::parse(bytes);
    std::vector<std::uint8_t> component(blob.component.begin(),
                                        blob.component.begin() + kMemoLengthAt);
    appendU32le(component, static_cast<std::uint32_t>(memo.size()));
    component.insert(component.end(), memo.begin(), memo.end());
    blob.component = component;
    return stateHex(blob.encode());
}

} // namespace kestravon::ruvi::testing
