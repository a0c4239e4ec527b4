// Idle calls on the default main context. g_main_context_invoke would be the obvious call, but
// it runs the function at once on the calling thread whenever no thread owns the context yet,
// which is the case for the LAN server before the loop starts.

#include "shell/ui_thread_call.h"

#include <glib.h>

#include <memory>
#include <utility>

namespace kestravon::ruvi {
namespace {

gboolean runOnce(gpointer data) {
    try {
        (*static_cast<std::function<void()>*>(data))();
    } catch (...) {
    }
    return G_SOURCE_REMOVE;
}

void freeCall(gpointer data) {
    delete static_cast<std::function<void()>*>(data);
}

} // namespace

void callOnUiThread(std::function<void()> fn) {
    auto call = std::make_unique<std::function<void()>>(std::move(fn));
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, runOnce, call.release(), freeCall);
}

} // namespace kestravon::ruvi
