#include "app/render_callback.h"

#include "app/application_impl.h"

namespace kestravon::ruvi {

void audioRenderCallback(void*, const float* const*, std::int32_t, float* const*, std::int32_t,
                         std::int32_t, double) noexcept {}

BackendStatus buildPhysicalChannelLayout(const std::vector<EndpointInfo>&,
                                         std::int32_t sampleRate) {
    BackendStatus layout;
    layout.sampleRate = sampleRate;
    return layout;
}

} // namespace kestravon::ruvi
