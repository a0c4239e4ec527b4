#include "steady_tick.h"

namespace kestravon::ruvi {

namespace {

struct SteadyTick {
    GSource source;
    gint64 periodUs;
    gint64 deadlineUs;
};

gboolean dispatchTick(GSource* source, GSourceFunc callback, gpointer data) {
    auto* tick = reinterpret_cast<SteadyTick*>(source);
    const gint64 now = g_source_get_time(source);
    tick->deadlineUs += tick->periodUs;
    if (tick->deadlineUs <= now) {
        // Whole periods were missed: the next deadline is the first one still ahead, on phase.
        tick->deadlineUs += ((now - tick->deadlineUs) / tick->periodUs + 1) * tick->periodUs;
    }
    g_source_set_ready_time(source, tick->deadlineUs);
    return callback != nullptr ? callback(data) : G_SOURCE_REMOVE;
}

GSourceFuncs steadyTickFuncs = {nullptr, nullptr, dispatchTick, nullptr, nullptr, nullptr};

} // namespace

guint addSteadyTick(guint periodMs, GSourceFunc callback, gpointer data) {
    GSource* source = g_source_new(&steadyTickFuncs, sizeof(SteadyTick));
    auto* tick = reinterpret_cast<SteadyTick*>(source);
    tick->periodUs = static_cast<gint64>(periodMs) * 1000;
    tick->deadlineUs = g_get_monotonic_time() + tick->periodUs;
    g_source_set_ready_time(source, tick->deadlineUs);
    g_source_set_callback(source, callback, data, nullptr);
    g_source_set_name(source, "steady tick");
    const guint id = g_source_attach(source, nullptr);
    g_source_unref(source);
    return id;
}

} // namespace kestravon::ruvi
