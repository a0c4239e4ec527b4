#pragma once

#include "pluginterfaces/gui/iplugview.h"

#include <vector>

namespace kestravon::ruvi {

// The host run loop that Linux plug-in editors ask the frame for: timers and descriptor
// handlers as sources on the default GLib main context, called back on the thread that runs
// that context (the UI thread). Owned by one instance, not reference counted.
//
// Thread contract: every call, and every callback, happens on the UI thread.
class GLibRunLoop final : public Steinberg::Linux::IRunLoop {
public:
    GLibRunLoop() = default;
    ~GLibRunLoop() { clear(); }
    GLibRunLoop(const GLibRunLoop&) = delete;
    GLibRunLoop& operator=(const GLibRunLoop&) = delete;

    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
    Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
    Steinberg::uint32 PLUGIN_API release() override { return 1; }
    Steinberg::tresult PLUGIN_API registerEventHandler(
        Steinberg::Linux::IEventHandler* handler, Steinberg::Linux::FileDescriptor fd) override;
    Steinberg::tresult PLUGIN_API
    unregisterEventHandler(Steinberg::Linux::IEventHandler* handler) override;
    Steinberg::tresult PLUGIN_API registerTimer(Steinberg::Linux::ITimerHandler* handler,
                                                Steinberg::Linux::TimerInterval ms) override;
    Steinberg::tresult PLUGIN_API
    unregisterTimer(Steinberg::Linux::ITimerHandler* handler) override;

    // Removes every source still registered (an editor that forgot to unregister).
    void clear() noexcept;

private:
    struct Source {
        void* handler;
        unsigned int id;
    };
    bool removeAll(void* handler) noexcept;

    std::vector<Source> sources_;
};

} // namespace kestravon::ruvi
