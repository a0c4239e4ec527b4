#include "gtk_test_support.h"

#include "shell/gui_leak_suppressions.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <X11/Xutil.h>

#include <set>
#include <thread>

// Every test binary that drives GTK links this file, so each gets the suppressions.
extern "C" const char* __lsan_default_suppressions() {
    return kestravon::ruvi::kGuiLeakSuppressions;
}

namespace kestravon::ruvi {

bool gtkReady() {
    static const bool ready = [] {
        // No accessibility bus in tests: its D-Bus connection is process-wide and never freed.
        g_setenv("NO_AT_BRIDGE", "1", TRUE);
        gdk_set_allowed_backends("x11");
        return gtk_init_check(nullptr, nullptr) != FALSE;
    }();
    return ready;
}

bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        if (!g_main_context_iteration(nullptr, FALSE)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return true;
}

void runFor(std::chrono::milliseconds duration) {
    runUntil([] { return false; }, duration);
}

nlohmann::json evalInPage(WebKitWebView* view, const std::string& script) {
    // The result lives on the heap: an evaluation that outlasts the wait below still finds it,
    // and frees it then.
    struct Result {
        bool done = false;
        bool abandoned = false;
        nlohmann::json value;
    };
    auto* result = new Result;
    webkit_web_view_evaluate_javascript(
        view, script.c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* async, gpointer data) {
            auto* r = static_cast<Result*>(data);
            GError* error = nullptr;
            JSCValue* value =
                webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), async, &error);
            if (value != nullptr) {
                if (!r->abandoned && !jsc_value_is_undefined(value)) {
                    char* text = jsc_value_to_json(value, 0);
                    if (text != nullptr) {
                        r->value = nlohmann::json::parse(text, nullptr, false);
                        g_free(text);
                    }
                }
                g_object_unref(value);
            }
            if (error != nullptr) {
                g_error_free(error);
            }
            if (r->abandoned) {
                delete r;
                return;
            }
            r->done = true;
        },
        result);
    // A busy web process answers late, never not at all; the ceiling is for one that died.
    runUntil([&] { return result->done; }, std::chrono::seconds(60));
    if (!result->done) {
        result->abandoned = true;
        return nullptr;
    }
    nlohmann::json value = std::move(result->value);
    delete result;
    return value;
}

std::string windowClass(GtkWindow* window) {
    GdkWindow* native = gtk_widget_get_window(GTK_WIDGET(window));
    if (native == nullptr) {
        return {};
    }
    XClassHint hint{};
    Display* display = GDK_DISPLAY_XDISPLAY(gdk_window_get_display(native));
    if (XGetClassHint(display, gdk_x11_window_get_xid(native), &hint) == 0) {
        return {};
    }
    std::string text = std::string(hint.res_name ? hint.res_name : "") + "/" +
                       (hint.res_class ? hint.res_class : "");
    XFree(hint.res_name);
    XFree(hint.res_class);
    return text;
}

std::pair<int, int> firstChildSize(unsigned long xid) {
    Display* display = GDK_DISPLAY_XDISPLAY(gdk_display_get_default());
    ::Window root = 0;
    ::Window parent = 0;
    ::Window* children = nullptr;
    unsigned count = 0;
    std::pair<int, int> size{0, 0};
    if (XQueryTree(display, xid, &root, &parent, &children, &count) != 0 && count > 0) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display, children[0], &attributes) != 0) {
            size = {attributes.width, attributes.height};
        }
    }
    if (children != nullptr) {
        XFree(children);
    }
    return size;
}

namespace {

int sampledColours(const unsigned char* pixels, int width, int height, int stride, int channels,
                   bool bgra) {
    std::set<unsigned> colours;
    for (int y = 0; y < height; y += 7) {
        for (int x = 0; x < width; x += 7) {
            const unsigned char* p = pixels + y * stride + x * channels;
            const unsigned r = bgra ? p[2] : p[0];
            const unsigned b = bgra ? p[0] : p[2];
            colours.insert((r << 16) | (unsigned(p[1]) << 8) | b);
        }
    }
    return static_cast<int>(colours.size());
}

} // namespace

int pageColours(WebKitWebView* view) {
    struct Shot {
        bool done = false;
        bool abandoned = false;
        int colours = 0;
    };
    auto* shot = new Shot;
    webkit_web_view_get_snapshot(
        view, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
        [](GObject* source, GAsyncResult* async, gpointer data) {
            auto* s = static_cast<Shot*>(data);
            GError* error = nullptr;
            cairo_surface_t* surface =
                webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), async, &error);
            if (surface != nullptr) {
                cairo_surface_flush(surface);
                if (!s->abandoned && cairo_surface_get_type(surface) == CAIRO_SURFACE_TYPE_IMAGE) {
                    s->colours = sampledColours(cairo_image_surface_get_data(surface),
                                                cairo_image_surface_get_width(surface),
                                                cairo_image_surface_get_height(surface),
                                                cairo_image_surface_get_stride(surface), 4, true);
                }
                cairo_surface_destroy(surface);
            }
            if (error != nullptr) {
                g_error_free(error);
            }
            if (s->abandoned) {
                delete s;
                return;
            }
            s->done = true;
        },
        shot);
    // As with an evaluation: a busy web process answers late; the ceiling is for one that died.
    runUntil([&] { return shot->done; }, std::chrono::seconds(60));
    if (!shot->done) {
        shot->abandoned = true;
        return 0;
    }
    const int colours = shot->colours;
    delete shot;
    return colours;
}

int distinctColours(GtkWindow* window) {
    GdkWindow* native = gtk_widget_get_window(GTK_WIDGET(window));
    if (native == nullptr) {
        return 0;
    }
    // Tests running side by side share one X display with no window manager, so another test's
    // window may lie over this one and the read-back would show that window. Raised, the window
    // is exposed and repaints; the caller's next poll reads its own pixels.
    gdk_window_raise(native);
    const int width = gdk_window_get_width(native);
    const int height = gdk_window_get_height(native);
    GdkPixbuf* shot = gdk_pixbuf_get_from_window(native, 0, 0, width, height);
    if (shot == nullptr) {
        return 0;
    }
    const int colours =
        sampledColours(gdk_pixbuf_get_pixels(shot), width, height, gdk_pixbuf_get_rowstride(shot),
                       gdk_pixbuf_get_n_channels(shot), false);
    g_object_unref(shot);
    return colours;
}

int drawnColours(GtkWindow* window) {
    GtkWidget* widget = GTK_WIDGET(window);
    const int width = gtk_widget_get_allocated_width(widget);
    const int height = gtk_widget_get_allocated_height(widget);
    if (!gtk_widget_get_mapped(widget) || width <= 0 || height <= 0) {
        return 0;
    }
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cairo_t* cr = cairo_create(surface);
    gtk_widget_draw(widget, cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    const int colours = sampledColours(cairo_image_surface_get_data(surface), width, height,
                                       cairo_image_surface_get_stride(surface), 4, true);
    cairo_surface_destroy(surface);
    return colours;
}

} // namespace kestravon::ruvi
