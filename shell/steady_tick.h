#pragma once
// A repeating timeout on the default main context that keeps its phase: each deadline is the
// previous one plus the period, so a late dispatch does not delay every tick after it, and a
// tick missed altogether is dropped rather than made up in a burst.

#include <glib.h>

namespace kestravon::ruvi {

// Calls callback(data) every periodMs until it returns G_SOURCE_REMOVE or the returned source
// id is removed with g_source_remove. UI thread only.
guint addSteadyTick(guint periodMs, GSourceFunc callback, gpointer data);

} // namespace kestravon::ruvi
