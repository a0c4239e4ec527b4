#pragma once
// GTK and web view helpers for the in-process tests under a virtual X display.

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <utility>

typedef struct _GtkWindow GtkWindow;
typedef struct _WebKitWebView WebKitWebView;

namespace kestravon::ruvi {

// Initialises GTK on X11 once per process; false when no display can be opened.
bool gtkReady();

// Runs the default main context until done() or the timeout; returns done().
bool runUntil(const std::function<bool()>& done,
              std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Runs the default main context for a while.
void runFor(std::chrono::milliseconds duration);

// Evaluates script in the page's own world and returns its value as JSON (null on a failure).
nlohmann::json evalInPage(WebKitWebView* view, const std::string& script);

// The WM_CLASS of a realised window, as "instance/class".
std::string windowClass(GtkWindow* window);
// The size of the first X child of an X window (the plug-in's own window in an editor window).
std::pair<int, int> firstChildSize(unsigned long xid);
// How many distinct colours a window shows on screen (sampled).
int distinctColours(GtkWindow* window);
// How many distinct colours the window's widgets draw (sampled), drawn off screen by GTK the way
// it draws them to the display: the web view draws the page it holds. Nothing another test's
// window on the shared display covers or uncovers changes it.
int drawnColours(GtkWindow* window);
// How many distinct colours the web view's own snapshot of its visible page has (sampled): what
// the page painted, whatever lies over its window on the display. 0 when no snapshot came.
int pageColours(WebKitWebView* view);

} // namespace kestravon::ruvi
