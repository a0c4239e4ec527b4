#include "vst3/glib_run_loop.h"

#include <glib-unix.h>
#include <glib.h>

#include <algorithm>
#include <cstring>

namespace kestravon::ruvi {
namespace {

using Steinberg::kInvalidArgument;
using Steinberg::kResultOk;
using Steinberg::tresult;

struct FdCall {
    Steinberg::Linux::IEventHandler* handler;
    int fd;
};

// A plug-in's handler may throw; an exception unwinding through GLib's C frames would end the
// process, so it stops here.
gboolean onFd(gint, GIOCondition, gpointer data) {
    auto* call = static_cast<FdCall*>(data);
    try {
        call->handler->onFDIsSet(call->fd);
    } catch (...) {
    }
    return G_SOURCE_CONTINUE;
}

gboolean onTimeout(gpointer data) {
    try {
        static_cast<Steinberg::Linux::ITimerHandler*>(data)->onTimer();
    } catch (...) {
    }
    return G_SOURCE_CONTINUE;
}

void freeFdCall(gpointer data) {
    delete static_cast<FdCall*>(data);
}

} // namespace

tresult PLUGIN_API GLibRunLoop::queryInterface(const Steinberg::TUID iid, void** obj) {
    if (obj == nullptr) {
        return kInvalidArgument;
    }
    if (Steinberg::FUnknownPrivate::iidEqual(iid, Steinberg::FUnknown::iid) ||
        Steinberg::FUnknownPrivate::iidEqual(iid, Steinberg::Linux::IRunLoop::iid)) {
        *obj = static_cast<Steinberg::Linux::IRunLoop*>(this);
        return kResultOk;
    }
    *obj = nullptr;
    return Steinberg::kNoInterface;
}

tresult PLUGIN_API GLibRunLoop::registerEventHandler(Steinberg::Linux::IEventHandler* handler,
                                                     Steinberg::Linux::FileDescriptor fd) {
    if (handler == nullptr || fd < 0) {
        return kInvalidArgument;
    }
    auto* call = new FdCall{handler, fd};
    const unsigned int id = g_unix_fd_add_full(
        G_PRIORITY_DEFAULT, fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), onFd,
        call, freeFdCall);
    sources_.push_back({handler, id});
    return kResultOk;
}

tresult PLUGIN_API GLibRunLoop::unregisterEventHandler(Steinberg::Linux::IEventHandler* handler) {
    return removeAll(handler) ? kResultOk : kInvalidArgument;
}

tresult PLUGIN_API GLibRunLoop::registerTimer(Steinberg::Linux::ITimerHandler* handler,
                                              Steinberg::Linux::TimerInterval ms) {
    if (handler == nullptr) {
        return kInvalidArgument;
    }
    const guint interval =
        ms == 0 ? 1 : static_cast<guint>(std::min<Steinberg::uint64>(ms, G_MAXUINT));
    sources_.push_back({handler, g_timeout_add(interval, onTimeout, handler)});
    return kResultOk;
}

tresult PLUGIN_API GLibRunLoop::unregisterTimer(Steinberg::Linux::ITimerHandler* handler) {
    return removeAll(handler) ? kResultOk : kInvalidArgument;
}

bool GLibRunLoop::removeAll(void* handler) noexcept {
    bool found = false;
    for (auto it = sources_.begin(); it != sources_.end();) {
        if (it->handler == handler) {
            g_source_remove(it->id);
            it = sources_.erase(it);
            found = true;
        } else {
            ++it;
        }
    }
    return found;
}

void GLibRunLoop::clear() noexcept {
    for (const Source& source : sources_) {
        g_source_remove(source.id);
    }
    sources_.clear();
}

} // namespace kestravon::ruvi
