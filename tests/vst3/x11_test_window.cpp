#include "x11_test_window.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <set>
#include <thread>

namespace kestravon::ruvi::testing {
namespace {

Display* dpy(void* display) {
    return static_cast<Display*>(display);
}

} // namespace

X11TestWindow::X11TestWindow(int width, int height) {
    // The server refuses a burst of new clients now and then: try again a few times.
    Display* display = nullptr;
    for (int attempt = 0; display == nullptr && attempt < 20; ++attempt) {
        display = XOpenDisplay(nullptr);
        if (display == nullptr) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    display_ = display;
    if (display == nullptr) {
        return;
    }
    const int screen = DefaultScreen(display);
    window_ = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0,
                                  static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                                  BlackPixel(display, screen), WhitePixel(display, screen));
    XSelectInput(display, window_, StructureNotifyMask);
    XMapWindow(display, window_);
    XEvent event;
    do {
        XNextEvent(display, &event);
    } while (event.type != MapNotify);
}

X11TestWindow::~X11TestWindow() {
    destroyWindow();
    if (display_ != nullptr) {
        XCloseDisplay(dpy(display_));
    }
}

void X11TestWindow::destroyWindow() {
    if (window_ != 0) {
        XDestroyWindow(dpy(display_), window_);
        XSync(dpy(display_), False);
        window_ = 0;
    }
}

bool X11TestWindow::isValid() const {
    XWindowAttributes attributes;
    return window_ != 0 && XGetWindowAttributes(dpy(display_), window_, &attributes) != 0;
}

void X11TestWindow::fitClientArea(int width, int height) {
    fits.emplace_back(width, height);
    XResizeWindow(dpy(display_), window_, static_cast<unsigned>(width),
                  static_cast<unsigned>(height));
    XSync(dpy(display_), False);
}

std::pair<int, int> X11TestWindow::size() const {
    XWindowAttributes attributes{};
    XGetWindowAttributes(dpy(display_), window_, &attributes);
    return {attributes.width, attributes.height};
}

bool X11TestWindow::showsContent() const {
    const auto [width, height] = size();
    XImage* image = XGetImage(dpy(display_), window_, 0, 0, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (image == nullptr) {
        return false;
    }
    std::set<unsigned long> colours;
    for (int y = 0; y < height && colours.size() < 3; y += 3) {
        for (int x = 0; x < width && colours.size() < 3; x += 3) {
            colours.insert(XGetPixel(image, x, y));
        }
    }
    XDestroyImage(image);
    return colours.size() > 1;
}

} // namespace kestravon::ruvi::testing
