#include "remote/interface_list.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace kestravon::ruvi {

void makeInterfaceEntry(nlohmann::json& entries, unsigned port, const std::string& name,
                        const std::string& ip) {
    for (const auto& entry : entries) {
        if (entry.value("ip", std::string()) == ip) {
            return;
        }
    }
    entries.push_back(
        {{"name", name}, {"ip", ip}, {"url", "http://" + ip + ":" + std::to_string(port) + "/"}});
}

nlohmann::json listInterfaces(unsigned port, bool loopbackOnly) {
    nlohmann::json entries = nlohmann::json::array();
    if (loopbackOnly) {
        makeInterfaceEntry(entries, port, "Loopback", "127.0.0.1");
        return entries;
    }
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return entries;
    }
    for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        const unsigned flags = it->ifa_flags;
        if ((flags & IFF_UP) == 0 || (flags & IFF_RUNNING) == 0 || (flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        const auto* address = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        const std::uint32_t value = ntohl(address->sin_addr.s_addr);
        if (value == 0 || value >= 0xE0000000u) {
            continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr) {
            continue;
        }
        makeInterfaceEntry(entries, port, it->ifa_name != nullptr ? it->ifa_name : "", text);
    }
    ::freeifaddrs(list);
    return entries;
}

} // namespace kestravon::ruvi
