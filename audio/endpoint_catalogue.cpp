#include "audio/endpoint_catalogue.h"

#include <algorithm>

#include "audio/alsa_endpoints.h"
#include "audio/device_format.h"
#include "audio/virtual_endpoints.h"

namespace kestravon::ruvi {

EndpointCatalogue::EndpointCatalogue(std::vector<std::shared_ptr<AudioEndpointProvider>> providers)
    : providers_(std::move(providers)) {}

std::shared_ptr<EndpointCatalogue> EndpointCatalogue::system() {
    static const std::shared_ptr<EndpointCatalogue> catalogue =
        std::make_shared<EndpointCatalogue>(std::vector<std::shared_ptr<AudioEndpointProvider>>{
            VirtualEndpointSet::makeDefault(), std::make_shared<AlsaEndpointProvider>()});
    return catalogue;
}

HRESULT EndpointCatalogue::enumerate(DataFlow flow, AudioEndpointDevices& out) const {
    HRESULT result = S_OK;
    for (const auto& provider : providers_) {
        const HRESULT hr = provider->enumerate(flow, out);
        if (failed(hr) && succeeded(result)) {
            result = hr;
        }
    }
    return result;
}

HRESULT EndpointCatalogue::getDevice(const std::string& id,
                                     std::shared_ptr<AudioEndpointDevice>& out) const {
    const std::size_t colon = id.find(':');
    if (colon == std::string::npos) {
        return E_NOTFOUND;
    }
    const std::string prefix = id.substr(0, colon);
    for (const auto& provider : providers_) {
        if (provider->prefix() == prefix) {
            return provider->getDevice(id, out);
        }
    }
    return E_NOTFOUND;
}

std::string endpointFriendlyName(const AudioEndpointDevice& device) {
    return repairUtf8(device.friendlyName());
}

void enumerateEndpoints(const EndpointCatalogue& catalogue, std::vector<EndpointInfo>& out,
                        std::string& error) {
    out.clear();
    error.clear();
    for (const DataFlow flow : {DataFlow::capture, DataFlow::render}) {
        AudioEndpointDevices devices;
        const HRESULT hr = catalogue.enumerate(flow, devices);
        if (failed(hr)) {
            error = hresultText(hr);
            continue;
        }
        for (const auto& device : devices) {
            EndpointInfo info;
            info.id = device->id();
            if (!isValidUtf8(info.id)) {
                info.id.clear();
            }
            info.name = endpointFriendlyName(*device);
            info.capture = flow == DataFlow::capture;
            info.physicalUnitId = physicalLabelKey(info.name, info.id);
            std::unique_ptr<AudioEndpointClient> client;
            WaveFormat mix;
            DeviceFormat format;
            if (succeeded(device->activate(client)) && succeeded(client->getMixFormat(mix)) &&
                checkDeviceFormat(format, &mix)) {
                info.channels = format.channels;
                info.sampleRate = format.sampleRate;
                info.available = true;
            }
            out.push_back(std::move(info));
        }
    }
    std::sort(out.begin(), out.end(), endpointInfoLess);
}

void enumerateEndpoints(std::vector<EndpointInfo>& out, std::string& error) {
    enumerateEndpoints(*EndpointCatalogue::system(), out, error);
}

} // namespace kestravon::ruvi
