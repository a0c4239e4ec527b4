#pragma once
// The program: the main window, the one Application, the page, the LAN hand-off and the status
// tick, from start-up to the orderly shut-down. GTK owns the loop; everything here runs on the
// thread that runs it, except PendingQueue::submit on the LAN server's threads.

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>

typedef struct _GtkWindow GtkWindow;
typedef struct _WebKitWebView WebKitWebView;

namespace kestravon::ruvi {

class Application;
class GtkEditorHost;
class NativeDialogs;
class PendingQueue;
class RemoteServer;
class RequestFront;

inline constexpr const char* kMainWindowTitle = "KESTRAVON RUVI — Beta 0.1.0-beta.2";
inline constexpr const char* kMainWindowClass = "KestravonRuviWindow";
inline constexpr const char* kWebViewProfileFolder = "private-webview-profile";

struct ShellOptions {
    // The folder of the pairing files and the web view profile; empty: the executable's folder.
    std::string folder;
    // The page folder; empty: "ui" in that folder when it exists, else "ui" in its parent.
    std::string webRoot;
    // Without a web view the program runs headless: jobs are still collected every tick.
    bool webView = true;
    // Makes the Application; empty: the machine's endpoints.
    std::function<std::unique_ptr<Application>()> makeApplication;
    // The dialogs and boxes; null: GTK's, owned by the main window.
    NativeDialogs* dialogs = nullptr;
    // The LAN server; null: the process's one server.
    RemoteServer* server = nullptr;
};

class ShellProgram {
public:
    // Runs start-up up to showing the main window. A failure that stops the program (no
    // Application) is shown in a box and leaves exitCode() 1.
    explicit ShellProgram(ShellOptions options);
    // Closes first when the main window still exists.
    ~ShellProgram();
    ShellProgram(const ShellProgram&) = delete;
    ShellProgram& operator=(const ShellProgram&) = delete;

    [[nodiscard]] int exitCode() const noexcept { return exitCode_; }

    // The close path of the window, SIGINT and SIGTERM: cancel the job, close the editors and
    // destroy the main window. While a dialog is open the close waits for the outermost one.
    void requestClose();
    [[nodiscard]] bool closed() const noexcept { return closed_; }

    // The LAN server's control handler.
    nlohmann::json submitRemoteRequest(const nlohmann::json& request);
    // One message from the page, as its JSON text.
    void onPageMessage(const std::string& text);
    // Posts a reply to the page; nothing while there is no web view.
    void postJsonToPage(const nlohmann::json& reply);

    // What tests look at.
    GtkWindow* mainWindow() const noexcept;
    WebKitWebView* webView() const noexcept;
    Application* application() const noexcept;
    RequestFront* front() const noexcept;
    GtkEditorHost& editors() const noexcept;
    const std::string& webRoot() const noexcept;
    const std::string& folder() const noexcept;
    // The status tick the timer runs every 100 ms, on phase: collects a finished job and posts
    // the status event unless the previous one is still on its way; a skipped event is posted
    // as soon as the page has taken that one. Tests run it faster than the timer.
    void tick();
    // True while the last status event has not reached the page yet.
    [[nodiscard]] bool statusInFlight() const noexcept;

    struct Impl;

private:
    void onDestroy();
    void drainPending();
    void dialogReturned();
    void postStatus();

    std::unique_ptr<Impl> impl_;
    int exitCode_ = 0;
    bool closed_ = false;
};

// main(): GTK owns the loop; no display gives one clear line and exit status 1.
int runProgram(int argc, char** argv);

} // namespace kestravon::ruvi
