#include "audio/alsa_endpoints.h"

#include <cerrno>

namespace kestravon::ruvi {

HRESULT hresultFromAlsa(int error) noexcept {
    const int e = error < 0 ? -error : error;
    if (e == EBUSY) {
        return AUDCLNT_E_DEVICE_IN_USE;
    }
    if (e == ENODEV || e == ENXIO) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    return hresultFromErrno(e);
}

HRESULT AlsaEndpointProvider::enumerate(DataFlow, AudioEndpointDevices&) {
    return S_OK;
}

HRESULT AlsaEndpointProvider::getDevice(const std::string&, std::shared_ptr<AudioEndpointDevice>&) {
    return E_NOTFOUND;
}

} // namespace kestravon::ruvi
