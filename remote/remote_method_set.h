#pragma once

#include <set>
#include <string>

namespace kestravon::ruvi {

// The methods a LAN client may call; everything else needs the stage computer.
const std::set<std::string>& remoteMethodSet();

} // namespace kestravon::ruvi
