#pragma once
// The plug-in editor window: a top-level GTK window, transient for the main window, whose native
// child hosts the plug-in's view.

#include "shell/editor_host.h"

#include <functional>
#include <memory>

typedef struct _GtkWindow GtkWindow;

namespace kestravon::ruvi {

class Application;

class GtkEditorHost : public EditorHost {
public:
    // application gives the current Application, or null once it is gone.
    GtkEditorHost(GtkWindow* owner, std::function<Application*()> application);
    ~GtkEditorHost() override;

    EditorWindow* createEditorWindow(std::string& error) override;
    void showEditorWindow() override;
    void destroyEditorWindow() noexcept override;
    [[nodiscard]] bool hasEditorWindow() const noexcept override;

    Application* application() const;
    // The current editor window's GTK window, or null; for tests.
    GtkWindow* editorGtkWindow() const noexcept;

    struct Window;

private:
    GtkWindow* owner_;
    std::function<Application*()> application_;
    std::unique_ptr<Window> window_;
};

} // namespace kestravon::ruvi
