#pragma once

#include <memory>
#include <string>
#include <vector>

#include "audio/audio_endpoint.h"
#include "audio/device_records.h"

namespace kestravon::ruvi {

// The merged endpoints of several providers; ids carry their provider's prefix.
// Thread contract: immutable after construction; every call may come from any thread.
class EndpointCatalogue {
public:
    explicit EndpointCatalogue(std::vector<std::shared_ptr<AudioEndpointProvider>> providers);

    // The machine's endpoints: the default virtual set, then ALSA devices and sound servers.
    static std::shared_ptr<EndpointCatalogue> system();

    // Every provider is asked; the first failure is returned after the others have listed.
    HRESULT enumerate(DataFlow flow, AudioEndpointDevices& out) const;
    HRESULT getDevice(const std::string& id, std::shared_ptr<AudioEndpointDevice>& out) const;

private:
    std::vector<std::shared_ptr<AudioEndpointProvider>> providers_;
};

// UTF-8 friendly name of an endpoint, or empty.
std::string endpointFriendlyName(const AudioEndpointDevice& device);

// Fills out with every active endpoint in catalogue order; a non-empty error means the call
// failed as a whole.
void enumerateEndpoints(const EndpointCatalogue& catalogue, std::vector<EndpointInfo>& out,
                        std::string& error);
void enumerateEndpoints(std::vector<EndpointInfo>& out, std::string& error);

} // namespace kestravon::ruvi
