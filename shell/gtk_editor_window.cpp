// The one file that includes gdk/gdkx.h: its Xlib macros (None, Status, Bool...) clash with other
// headers.

#include "shell/gtk_editor_window.h"

#include "vst3/editor_window.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <utility>

namespace kestravon::ruvi {

namespace {
constexpr const char* kEditorTitle = "KESTRAVON RUVI — VST3 editor";
constexpr const char* kEditorClass = "KestravonVstEditor";
constexpr int kEditorWidth = 1250;
constexpr int kEditorHeight = 870;
} // namespace

struct GtkEditorHost::Window : EditorWindow {
    GtkEditorHost* host = nullptr;
    GtkWidget* window = nullptr;
    GtkWidget* area = nullptr;
    unsigned long xid = 0;
    bool resizable = true;
    // The client size of the last fit: its size event is the echo of the fit, not the user's.
    int fittedWidth = -1;
    int fittedHeight = -1;
    int lastWidth = -1;
    int lastHeight = -1;
    // A size change is handed to the plug-in from an idle call, after GTK's allocation: a fit
    // that the plug-in asks for cannot resize the window from inside an allocation.
    guint pendingResize = 0;

    unsigned long x11Window() const override { return xid; }
    bool isValid() const override {
        return window != nullptr && area != nullptr && gtk_widget_get_realized(area) && xid != 0;
    }
    bool isEditorWindow() const override { return true; }
    void fitClientArea(int width, int height) override {
        if (window == nullptr || width <= 0 || height <= 0) {
            return;
        }
        fittedWidth = width;
        fittedHeight = height;
        // A window that cannot be resized sizes to its child's request.
        if (!resizable) {
            gtk_widget_set_size_request(area, width, height);
        }
        // Before the window is first shown only the default size counts.
        gtk_window_set_default_size(GTK_WINDOW(window), width, height);
        gtk_window_resize(GTK_WINDOW(window), width, height);
    }
    void dropSizingBorder() override {
        if (window != nullptr) {
            resizable = false;
            gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
        }
    }
};

namespace {

using Window = GtkEditorHost::Window;

gboolean onEditorDelete(GtkWidget*, GdkEvent*, gpointer data) {
    try {
        static_cast<Window*>(data)->host->destroyEditorWindow();
    } catch (...) {
    }
    return TRUE;
}

gboolean resizeEditorsNow(gpointer data) {
    auto& w = *static_cast<Window*>(data);
    w.pendingResize = 0;
    try {
        if (w.lastWidth == w.fittedWidth && w.lastHeight == w.fittedHeight) {
            return G_SOURCE_REMOVE; // the echo of our own fit
        }
        GdkWindow* top = gtk_widget_get_window(w.window);
        if (top != nullptr && (gdk_window_get_state(top) & GDK_WINDOW_STATE_ICONIFIED) != 0) {
            return G_SOURCE_REMOVE;
        }
        if (w.host->calls().resizeEditors) {
            w.host->calls().resizeEditors(w.lastWidth, w.lastHeight);
        }
    } catch (...) {
    }
    return G_SOURCE_REMOVE;
}

void onAreaAllocated(GtkWidget*, GdkRectangle* allocation, gpointer data) {
    try {
        auto& w = *static_cast<Window*>(data);
        if (allocation->width == w.lastWidth && allocation->height == w.lastHeight) {
            return;
        }
        w.lastWidth = allocation->width;
        w.lastHeight = allocation->height;
        if (w.pendingResize == 0) {
            w.pendingResize = g_idle_add(resizeEditorsNow, &w);
        }
    } catch (...) {
    }
}

} // namespace

GtkEditorHost::GtkEditorHost(GtkWindow* owner, EditorCalls calls)
    : owner_(owner), calls_(std::move(calls)) {}

GtkEditorHost::~GtkEditorHost() {
    destroyEditorWindow();
}

EditorWindow* GtkEditorHost::createEditorWindow(std::string& error) {
    destroyEditorWindow();
    auto w = std::make_unique<Window>();
    w->host = this;
    w->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(w->window);
    gtk_window_set_title(GTK_WINDOW(w->window), kEditorTitle);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_window_set_wmclass(GTK_WINDOW(w->window), kEditorClass, kEditorClass);
    G_GNUC_END_IGNORE_DEPRECATIONS
    gtk_window_set_default_size(GTK_WINDOW(w->window), kEditorWidth, kEditorHeight);
    if (owner_ != nullptr) {
        gtk_window_set_transient_for(GTK_WINDOW(w->window), owner_);
    }
    w->area = gtk_drawing_area_new();
    gtk_container_add(GTK_CONTAINER(w->window), w->area);
    g_signal_connect(w->window, "delete-event", G_CALLBACK(onEditorDelete), w.get());
    g_signal_connect(w->area, "size-allocate", G_CALLBACK(onAreaAllocated), w.get());
    gtk_widget_realize(w->window);
    gtk_widget_realize(w->area);
    GdkWindow* native = gtk_widget_get_window(w->area);
    if (native == nullptr || !gdk_window_ensure_native(native) || !GDK_IS_X11_WINDOW(native)) {
        gtk_widget_destroy(w->window);
        g_object_unref(w->window);
        error = "Could not create the editor window";
        return nullptr;
    }
    w->xid = gdk_x11_window_get_xid(native);
    // The plug-in talks to the X server on a connection of its own: make sure the server has
    // created our window before the plug-in looks for it.
    gdk_display_sync(gtk_widget_get_display(w->area));
    window_ = std::move(w);
    return window_.get();
}

void GtkEditorHost::showEditorWindow() {
    if (window_ != nullptr) {
        gtk_widget_show_all(window_->window);
        gtk_window_present(GTK_WINDOW(window_->window));
    }
}

void GtkEditorHost::destroyEditorWindow() noexcept {
    if (window_ == nullptr) {
        return;
    }
    // The plug-in's view goes before the window it lives in.
    try {
        if (calls_.closeEditors) {
            calls_.closeEditors();
        }
    } catch (...) {
    }
    std::unique_ptr<Window> w = std::move(window_);
    if (w->pendingResize != 0) {
        g_source_remove(w->pendingResize);
    }
    g_signal_handlers_disconnect_by_data(w->window, w.get());
    g_signal_handlers_disconnect_by_data(w->area, w.get());
    gtk_widget_destroy(w->window);
    g_object_unref(w->window);
    gdk_display_sync(gdk_display_get_default());
}

bool GtkEditorHost::hasEditorWindow() const noexcept {
    return window_ != nullptr;
}

GtkWindow* GtkEditorHost::editorGtkWindow() const noexcept {
    return window_ != nullptr ? GTK_WINDOW(window_->window) : nullptr;
}

} // namespace kestravon::ruvi
