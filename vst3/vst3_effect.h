#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kestravon::ruvi {

class EditorWindow;

// One hosted VST3 audio effect, owned by an insert slot of the graph.
//
// Thread contract: open, restoreState, saveState, setParameter, parameters,
// pollParameterChanges, the editor calls and destruction run on the UI thread; they may
// allocate and call the plug-in's controller. process and needsReconfiguration run on the
// audio thread (or on the UI thread once the device has stopped); they never allocate, lock,
// log or make a system call. The plug-in may report edits and restart requests from any
// thread. Values travel between the threads through per-parameter atomic flags only.
class Vst3Effect {
public:
    enum SidechainMode : std::int32_t {
        kNoSidechain = 0,
        kMonoSidechain = 1,
        kStereoSidechain = 2
    };

    struct ParameterInfo {
        std::uint32_t id = 0;
        std::string title;
        std::string units;
        double normalized = 0.0;
        std::int32_t stepCount = 0;
        bool readOnly = false;
    };

    struct ParameterUpdate {
        std::uint32_t id = 0;
        double normalized = 0.0;
    };

    struct ParameterValue;
    class Impl;

    Vst3Effect();
    ~Vst3Effect();
    Vst3Effect(Vst3Effect&&) noexcept;
    Vst3Effect& operator=(Vst3Effect&&) noexcept;
    Vst3Effect(const Vst3Effect&) = delete;
    Vst3Effect& operator=(const Vst3Effect&) = delete;

    // Loads (or shares) the module, creates, connects and configures a new instance; only when
    // every step succeeded does it replace the instance held before. modulePath names a
    // ".vst3" bundle folder or the module file itself. channels is the host's 1 or 2.
    bool open(const std::string& modulePath, double sampleRate, std::int32_t maxBlock,
              std::int32_t channels, std::string& error, std::int32_t sidechainMode = kNoSidechain);
    bool isOpen() const noexcept;

    // One block of planar audio: inputs (null or `channels` pointers, entries may be null),
    // outputs (`channels` pointers), sidechain (null or sidechainMode pointers). False means
    // the outputs were silenced. frames 0 with null buffers only delivers waiting values.
    bool process(const float* const* inputs, float* const* outputs, std::int32_t frames,
                 const float* const* sidechain = nullptr) noexcept;
    // The plug-in asked for a reload, an I/O or a latency change: a new instance is needed.
    bool needsReconfiguration() const noexcept;

    bool setParameter(std::uint32_t id, double normalized);
    std::vector<ParameterInfo> parameters() const;
    // Values the plug-in changed since the last poll, at most max, continuing round-robin.
    std::vector<ParameterUpdate> pollParameterChanges(std::size_t max);
    std::int32_t latencySamples() const noexcept;

    // The instance's state blob ("KVXS" "ST3" 1, class id, lengths, component, controller).
    std::vector<std::uint8_t> saveState(std::string& error);
    // Builds a new instance from the blob; the held one stays untouched on failure.
    bool restoreState(std::span<const std::uint8_t> blob, std::string& error);

    // Editor view embedded in a child window of parent; UI thread only.
    bool openEditor(EditorWindow* parent, std::string& error);
    // The editor window's client area became width by height (the user resized it).
    bool resizeEditor(std::int32_t width, std::int32_t height);
    void closeEditor() noexcept;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace kestravon::ruvi
