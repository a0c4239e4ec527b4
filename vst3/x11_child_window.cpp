#include "vst3/x11_child_window.h"

#include <X11/Xlib.h>

#include <chrono>
#include <thread>

namespace kestravon::ruvi {
namespace {

// A bad parent id must fail the open, not end the process through Xlib's default handler.
int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}

// One connection for every editor of the UI thread, kept to the end of the process: opening a
// connection per editor fails now and then (the server refuses bursts of new clients).
Display* uiDisplay() {
    static Display* display = nullptr;
    for (int attempt = 0; display == nullptr && attempt < 20; ++attempt) {
        display = XOpenDisplay(nullptr);
        if (display == nullptr) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return display;
}

} // namespace

bool X11ChildWindow::create(unsigned long parent, int width, int height) noexcept {
    destroy();
    Display* display = uiDisplay();
    if (display == nullptr) {
        return false;
    }
    auto previous = XSetErrorHandler(ignoreXError);
    XWindowAttributes attributes{};
    Window window = 0;
    if (XGetWindowAttributes(display, parent, &attributes) != 0) {
        window = XCreateSimpleWindow(display, parent, 0, 0, static_cast<unsigned>(width),
                                     static_cast<unsigned>(height), 0, 0, 0);
        XMapWindow(display, window);
    }
    XSync(display, False);
    XSetErrorHandler(previous);
    if (window == 0) {
        return false;
    }
    display_ = display;
    window_ = window;
    return true;
}

void X11ChildWindow::resize(int width, int height) noexcept {
    if (window_ == 0) {
        return;
    }
    auto* display = static_cast<Display*>(display_);
    XResizeWindow(display, window_, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XFlush(display);
}

void X11ChildWindow::destroy() noexcept {
    if (display_ == nullptr) {
        return;
    }
    auto* display = static_cast<Display*>(display_);
    if (window_ != 0) {
        XDestroyWindow(display, window_);
    }
    XSync(display, False);
    display_ = nullptr;
    window_ = 0;
}

} // namespace kestravon::ruvi
