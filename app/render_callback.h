#pragma once
// The join between the device backend and the Application: the render callback of the audio
// path and the channel layout the current device list would give.

#include "audio/backend_status.h"
#include "audio/device_records.h"

#include <cstdint>
#include <vector>

namespace kestravon::ruvi {

// The DeviceRenderCallback of the system; userData is the Application::Impl. Audio thread: no lock,
// no allocation, no system call, nothing thrown.
void audioRenderCallback(void* userData, const float* const* inputs, std::int32_t inputCount,
                         float* const* outputs, std::int32_t outputCount, std::int32_t frames,
                         double sampleRate) noexcept;

// The aggregate layout of the available endpoints in list order, for compiling while stopped.
BackendStatus buildPhysicalChannelLayout(const std::vector<EndpointInfo>& devices,
                                         std::int32_t sampleRate);

} // namespace kestravon::ruvi
