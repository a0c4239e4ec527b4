#pragma once

#include <cstdint>
#include <string>

namespace kestravon::ruvi {

// Results of the endpoint layer keep the 32-bit HRESULT values the backend's messages quote.
using HRESULT = std::int32_t;

constexpr HRESULT hresult(std::uint32_t bits) noexcept {
    return static_cast<HRESULT>(bits);
}
constexpr bool failed(HRESULT hr) noexcept {
    return hr < 0;
}
constexpr bool succeeded(HRESULT hr) noexcept {
    return hr >= 0;
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = hresult(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = hresult(0x80004002u);
inline constexpr HRESULT E_POINTER = hresult(0x80004003u);
inline constexpr HRESULT E_FAIL = hresult(0x80004005u);
inline constexpr HRESULT E_OUTOFMEMORY = hresult(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = hresult(0x80070057u);
inline constexpr HRESULT E_NOTFOUND = hresult(0x80070490u);
inline constexpr HRESULT HRESULT_TIMEOUT = hresult(0x800705B4u);   // ERROR_TIMEOUT
inline constexpr HRESULT HRESULT_CANCELLED = hresult(0x800704C7u); // ERROR_CANCELLED
inline constexpr HRESULT AUDCLNT_E_NOT_INITIALIZED = hresult(0x88890001u);
inline constexpr HRESULT AUDCLNT_E_ALREADY_INITIALIZED = hresult(0x88890002u);
inline constexpr HRESULT AUDCLNT_E_WRONG_ENDPOINT_TYPE = hresult(0x88890003u);
inline constexpr HRESULT AUDCLNT_E_DEVICE_INVALIDATED = hresult(0x88890004u);
inline constexpr HRESULT AUDCLNT_E_NOT_STOPPED = hresult(0x88890005u);
inline constexpr HRESULT AUDCLNT_E_BUFFER_TOO_LARGE = hresult(0x88890006u);
inline constexpr HRESULT AUDCLNT_E_OUT_OF_ORDER = hresult(0x88890007u);
inline constexpr HRESULT AUDCLNT_E_UNSUPPORTED_FORMAT = hresult(0x88890008u);
inline constexpr HRESULT AUDCLNT_E_INVALID_SIZE = hresult(0x88890009u);
inline constexpr HRESULT AUDCLNT_E_DEVICE_IN_USE = hresult(0x8889000Au);
inline constexpr HRESULT AUDCLNT_E_BUFFER_ERROR = hresult(0x88890018u);
inline constexpr HRESULT AUDCLNT_E_BUFFER_SIZE_ERROR = hresult(0x88890016u);

// Buffer flags of capture packets and render releases.
inline constexpr std::uint32_t AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY = 0x1;
inline constexpr std::uint32_t AUDCLNT_BUFFERFLAGS_SILENT = 0x2;
inline constexpr std::uint32_t AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR = 0x4;

// errno of a failed system call as a result code: 0x80070000 | errno.
constexpr HRESULT hresultFromErrno(int error) noexcept {
    return hresult(0x80070000u | (static_cast<std::uint32_t>(error) & 0xFFFFu));
}

// "HRESULT 0x" and eight lower-case hexadecimal digits of the 32-bit value.
std::string hresultText(HRESULT hr);

} // namespace kestravon::ruvi
