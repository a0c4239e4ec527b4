#pragma once
// The one plug-in editor window of the shell, as the request front sees it.

#include <string>

namespace kestravon::ruvi {

class EditorWindow;

class EditorHost {
public:
    virtual ~EditorHost() = default;

    // Makes a new, realised and still hidden editor window owned by the main window; null with
    // error set when that fails. Any previous window must have been destroyed first.
    virtual EditorWindow* createEditorWindow(std::string& error) = 0;
    virtual void showEditorWindow() = 0;
    // Destroys the current editor window, if any; the plug-in editors must be closed first.
    virtual void destroyEditorWindow() noexcept = 0;
    [[nodiscard]] virtual bool hasEditorWindow() const noexcept = 0;
};

} // namespace kestravon::ruvi
