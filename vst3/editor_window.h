#pragma once

namespace kestravon::ruvi {

// The native window a plug-in editor is embedded in. The desktop shell implements it over its
// GTK editor window; tests use a plain X11 window. Every call comes from the UI thread that
// opened the editor.
class EditorWindow {
public:
    virtual ~EditorWindow() = default;

    // The X11 id of the realised native window that hosts the editor's child window.
    virtual unsigned long x11Window() const = 0;
    // False when the window is gone or not realised; the editor then refuses to open.
    virtual bool isValid() const = 0;
    // True only for the shell's own editor window: only that one is refitted to the view and
    // loses its sizing border for a fixed-size view.
    virtual bool isEditorWindow() const = 0;
    // Makes the window's client area width by height pixels.
    virtual void fitClientArea(int width, int height) = 0;
    // Removes the sizing border and the maximise control (a fixed-size view).
    virtual void dropSizingBorder() = 0;
};

} // namespace kestravon::ruvi
