#pragma once
// The plug-in editor window: a top-level GTK window, transient for the main window, whose native
// child hosts the plug-in's view.

#include "shell/editor_host.h"

#include <functional>
#include <memory>

typedef struct _GtkWindow GtkWindow;

namespace kestravon::ruvi {

// What the window does to the plug-in editors it hosts: the shell wires these to the
// Application's closePluginEditors and resizePluginEditors.
struct EditorCalls {
    std::function<void()> closeEditors;
    std::function<bool(int width, int height)> resizeEditors;
};

class GtkEditorHost : public EditorHost {
public:
    GtkEditorHost(GtkWindow* owner, EditorCalls calls);
    ~GtkEditorHost() override;

    EditorWindow* createEditorWindow(std::string& error) override;
    void showEditorWindow() override;
    void destroyEditorWindow() noexcept override;
    [[nodiscard]] bool hasEditorWindow() const noexcept override;

    const EditorCalls& calls() const noexcept { return calls_; }
    // The current editor window's GTK window, or null; for tests.
    GtkWindow* editorGtkWindow() const noexcept;

    struct Window;

private:
    GtkWindow* owner_;
    EditorCalls calls_;
    std::unique_ptr<Window> window_;
};

} // namespace kestravon::ruvi
