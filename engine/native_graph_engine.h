#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/graph_controls.h"
#include "vst3/insert_state_capture.h"

namespace kestravon::ruvi {

class EditorWindow;
struct BackendStatus;
struct PreparedGraph;

// The mixing engine: compiles native graph descriptions, hands the current graph to the audio
// thread through one atomic pointer and frees replaced graphs once the audio thread's epoch has
// passed them; live controls write the current graph's atomic cells.
//
// Thread contract: every method except render runs on the UI thread and may allocate and open
// plug-ins. render runs on the audio thread only; it never allocates, locks, logs or makes a
// system call, and does one atomic increment per call. dropRetired and clear free graphs at once
// and are called only while no render call can run (the device is stopped).
class NativeGraphEngine {
public:
    NativeGraphEngine();
    ~NativeGraphEngine();
    NativeGraphEngine(const NativeGraphEngine&) = delete;
    NativeGraphEngine& operator=(const NativeGraphEngine&) = delete;

    // Compiles and publishes; on failure returns false with the message and changes nothing.
    bool applyGraph(const nlohmann::json& description, const BackendStatus& layout,
                    std::string& error);
    // Audio thread: inputs are the physical input lanes followed by the playback lanes.
    void render(const float* const* inputs, std::int32_t inputCount, float* const* outputs,
                std::int32_t outputCount, std::int32_t frames, double sampleRate) noexcept;
    // Frees the retired graphs the audio thread can no longer reach; returns how many.
    std::size_t reclaimRetired();
    void dropRetired();
    void clear();
    bool hasGraph() const noexcept;

    // Live controls; false with the message when refused, nothing changed then.
    bool setParameter(const std::string& nodeId, const std::string& name, double value,
                      std::string& error);
    bool setSendLevel(const std::string& sourceId, const std::string& destinationId, double gainDb,
                      std::string& error);
    bool setInsertBypass(const std::string& nodeId, const std::string& insertId, bool bypass,
                         std::string& error);
    bool setStripProcessing(const std::string& nodeId, const nlohmann::json& processing,
                            std::string& error);
    bool setVstParameter(const std::string& nodeId, const std::string& insertId,
                         std::uint32_t parameterId, double value, std::string& error);

    // Plug-in editors of the current graph's inserts.
    bool showEditor(const std::string& nodeId, const std::string& insertId,
                    EditorWindow* parentWindow, std::string& error);
    bool resizeEditors(std::int32_t width, std::int32_t height);
    void closeEditors();

    // Edits made in plug-in editors, round-robin over the inserts, at most 4096 per call.
    std::vector<ParameterEdit> pollParameterEdits();

    // Reports; without a graph they are empty or 0.
    std::uint32_t latencySamples() const noexcept;
    std::vector<NodeMeter> nodeMeters() const;
    nlohmann::json stripMetersJson() const;
    nlohmann::json insertStatusJson() const;
    // Throws "Insert not in applied graph" when there is no such insert.
    nlohmann::json insertParametersJson(const std::string& nodeId,
                                        const std::string& insertId) const;
    // The current graph's inserts for a state capture; empty without a graph.
    std::vector<AppliedInsertNode> appliedInserts() const;

    // Audio-thread epoch and the number of replaced graphs still waiting for it.
    std::uint64_t retiredEpoch() const noexcept;
    std::size_t retiredCount() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kestravon::ruvi
