#pragma once

#include "vst3/editor_window.h"

#include <utility>
#include <vector>

namespace kestravon::ruvi::testing {

// A plain top-level X11 window standing in for the shell's editor window; it records what the
// editor asked of it.
class X11TestWindow final : public EditorWindow {
public:
    X11TestWindow(int width, int height);
    ~X11TestWindow() override;

    bool opened() const { return window_ != 0; }
    unsigned long x11Window() const override { return window_; }
    bool isValid() const override;
    bool isEditorWindow() const override { return true; }
    void fitClientArea(int width, int height) override;
    void dropSizingBorder() override { ++borderDrops; }

    // The window's current size as the server reports it.
    std::pair<int, int> size() const;
    // True when the window shows more than one colour.
    bool showsContent() const;
    void destroyWindow();

    std::vector<std::pair<int, int>> fits;
    int borderDrops = 0;

private:
    void* display_ = nullptr; // Xlib stays out of this header: its macros clash with tests
    unsigned long window_ = 0;
};

} // namespace kestravon::ruvi::testing
