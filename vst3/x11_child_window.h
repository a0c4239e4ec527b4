#pragma once

namespace kestravon::ruvi {

// The child window an editor view is attached to, made inside the editor window over the UI
// thread's display connection. UI thread only.
class X11ChildWindow {
public:
    X11ChildWindow() = default;
    ~X11ChildWindow() { destroy(); }
    X11ChildWindow(const X11ChildWindow&) = delete;
    X11ChildWindow& operator=(const X11ChildWindow&) = delete;

    bool create(unsigned long parent, int width, int height) noexcept;
    void resize(int width, int height) noexcept;
    void destroy() noexcept;
    bool exists() const noexcept { return window_ != 0; }
    unsigned long id() const noexcept { return window_; }

private:
    void* display_ = nullptr;
    unsigned long window_ = 0;
};

} // namespace kestravon::ruvi
