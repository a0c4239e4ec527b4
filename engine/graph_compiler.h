#pragma once

#include <memory>

#include <nlohmann/json.hpp>

#include "engine/prepared_graph.h"

namespace kestravon::ruvi {

struct BackendStatus;

// Validates a native graph description against the device layout in a fixed order, opens and
// restores its enabled VST3 inserts, resolves lanes, sorts the nodes, sizes delay compensation
// and allocates everything the audio thread will use. The first failed check throws with its
// message; whatever was built or opened so far is destroyed. UI thread only.
std::unique_ptr<PreparedGraph> compileNativeGraph(const nlohmann::json& description,
                                                  const BackendStatus& layout);

} // namespace kestravon::ruvi
