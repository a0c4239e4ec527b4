#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace kestravon::ruvi {

// Appends {"name", "ip", "url"} unless an entry with the same "ip" is already there.
void makeInterfaceEntry(nlohmann::json& entries, unsigned port, const std::string& name,
                        const std::string& ip);

// The addresses a LAN device can reach this computer on: every IPv4 address of an interface that
// is up and running and not loopback, or just 127.0.0.1 in loopback-only mode. A failed query
// gives an empty list.
nlohmann::json listInterfaces(unsigned port, bool loopbackOnly);

} // namespace kestravon::ruvi
