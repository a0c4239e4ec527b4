#pragma once

#include <map>
#include <mutex>
#include <string>

#include "audio/audio_endpoint.h"

namespace kestravon::ruvi {

// Endpoints of ALSA: hardware devices (exclusive opens go to hw:, shared opens through the
// sound server or dmix/dsnoop) and the PCMs of a running sound server.
// Thread contract: enumerate and getDevice from any thread; each opened client belongs to one
// endpoint thread.
class AlsaEndpointProvider : public AudioEndpointProvider {
public:
    std::string prefix() const override { return "alsa"; }
    HRESULT enumerate(DataFlow flow, AudioEndpointDevices& out) override;
    HRESULT getDevice(const std::string& id, std::shared_ptr<AudioEndpointDevice>& out) override;

private:
    // Endpoints of the last enumeration, so that opening one needs no second listing.
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<AudioEndpointDevice>> listed_;
};

// The closest result code for a negative ALSA error: busy means in use, a vanished device is
// invalidated, anything else is 0x80070000 | errno.
HRESULT hresultFromAlsa(int error) noexcept;

} // namespace kestravon::ruvi
