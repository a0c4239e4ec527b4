// LAN settings: enabled, port and password, checked in that order.

#include "shell/remote_settings.h"

#include "app/json_read.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

namespace kestravon::ruvi {

RemoteSettingsDecision validateRemoteSettings(const nlohmann::json& params,
                                              const nlohmann::json& status) {
    if (!params.is_object()) {
        throw std::runtime_error("Choose whether LAN control is enabled");
    }
    const auto enabled = params.find("enabled");
    if (enabled == params.end() || !enabled->is_boolean()) {
        throw std::runtime_error("Choose whether LAN control is enabled");
    }
    if (!enabled->get<bool>()) {
        return {RemoteSettingsDecision::Action::stop, 0};
    }
    const auto portValue = params.find("port");
    const std::optional<std::int32_t> port =
        portValue == params.end() ? std::nullopt : readInt32(*portValue);
    if (!port || *port < 1024 || *port > 65535) {
        throw std::runtime_error("Use a port from 1024 to 65535");
    }
    const auto password = params.find("password");
    if (password == params.end() || !password->is_string()) {
        throw std::runtime_error("Enter a password with at least 8 characters");
    }
    const std::string& text = password->get_ref<const std::string&>();
    const unsigned requested = static_cast<unsigned>(*port);
    if (text.empty() && status.is_object() && status.value("enabled", false) &&
        readInt32(status.value("port", nlohmann::json())) == *port) {
        return {RemoteSettingsDecision::Action::keep, requested};
    }
    if (text.size() >= 8 && text.size() <= 256) {
        return {RemoteSettingsDecision::Action::restart, requested};
    }
    throw std::runtime_error("Enter at least 8 characters, up to 256 UTF-8 bytes; leave blank "
                             "only to keep the enabled server on the same port");
}

bool lanLoopbackOnlyFromEnvironment() noexcept {
    const char* value = std::getenv("RUVI_LAN_LOOPBACK_ONLY");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

} // namespace kestravon::ruvi
