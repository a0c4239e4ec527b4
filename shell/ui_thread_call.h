#pragma once
// Running work on the UI thread from any thread.

#include <functional>

namespace kestravon::ruvi {

// Queues fn as an idle call of GLib's default main context; it runs on whichever thread runs
// that context's loop (the UI thread), never on the caller's thread, even before the loop has
// started. fn must not throw; a throw is swallowed, since it would unwind through GLib.
void callOnUiThread(std::function<void()> fn);

} // namespace kestravon::ruvi
