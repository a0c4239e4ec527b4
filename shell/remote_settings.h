#pragma once
// Reading the LAN settings of "configureRemote".

#include <nlohmann/json.hpp>

namespace kestravon::ruvi {

struct RemoteSettingsDecision {
    enum class Action { stop, keep, restart };
    Action action = Action::stop;
    unsigned port = 0; // 1024..65535; 0 with stop
};

// Checks params {"enabled", "port", "password"} against the running server's status and says
// what to do; throws std::runtime_error with the user's message when the settings are refused.
// Reads the password in place and copies it nowhere.
RemoteSettingsDecision validateRemoteSettings(const nlohmann::json& params,
                                              const nlohmann::json& status);

// True when RUVI_LAN_LOOPBACK_ONLY is "1": every LAN enable then listens on 127.0.0.1 only.
bool lanLoopbackOnlyFromEnvironment() noexcept;

} // namespace kestravon::ruvi
