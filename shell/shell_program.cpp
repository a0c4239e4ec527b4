// Start-up, the main window's handlers and the orderly shut-down.

#include "shell/shell_program.h"

#include "app/application.h"
#include "remote/remote_server.h"
#include "shell/gtk_dialogs.h"
#include "shell/gtk_editor_window.h"
#include "shell/page_message.h"
#include "shell/pairing.h"
#include "shell/pending_queue.h"
#include "shell/request_front.h"
#include "shell/steady_tick.h"
#include "shell/ui_thread_call.h"
#include "shell/web_view_host.h"

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <sys/stat.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <utility>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

constexpr guint kTickMs = 100;

std::string executableFolder() {
    char buffer[PATH_MAX + 1] = {};
    const ssize_t length = ::readlink("/proc/self/exe", buffer, PATH_MAX);
    if (length <= 0) {
        return ".";
    }
    std::string path(buffer, static_cast<std::size_t>(length));
    const auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::string parentFolder(const std::string& folder) {
    const auto slash = folder.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : folder.substr(0, slash);
}

} // namespace

// Every dialog and box of a request passes through here: while one is open, a close (window
// manager, signal) only records the wish, since destroying now would free the Application
// under the request that opened the dialog.
class GuardedDialogs : public NativeDialogs {
public:
    GuardedDialogs(NativeDialogs& inner, int& depth, std::function<void()> outermostReturned)
        : inner_(inner), depth_(depth), returned_(std::move(outermostReturned)) {}

    std::optional<std::string> chooseSessionToSave() override {
        Scope scope(*this);
        return inner_.chooseSessionToSave();
    }
    std::optional<std::string> chooseSessionToOpen() override {
        Scope scope(*this);
        return inner_.chooseSessionToOpen();
    }
    std::optional<std::vector<std::string>> chooseWavFiles() override {
        Scope scope(*this);
        return inner_.chooseWavFiles();
    }
    bool confirmReplace(const std::string& path) override {
        Scope scope(*this);
        return inner_.confirmReplace(path);
    }
    void showError(const std::string& text) override {
        Scope scope(*this);
        inner_.showError(text);
    }

private:
    struct Scope {
        explicit Scope(GuardedDialogs& owner) : owner(owner) { ++owner.depth_; }
        ~Scope() {
            if (--owner.depth_ == 0 && owner.returned_) {
                owner.returned_();
            }
        }
        GuardedDialogs& owner;
    };

    NativeDialogs& inner_;
    int& depth_;
    std::function<void()> returned_;
};

struct ShellProgram::Impl {
    ShellOptions options;
    std::string folder;
    std::string webRoot;
    RemoteServer* server = nullptr;
    GtkWidget* window = nullptr;
    std::unique_ptr<GtkDialogs> gtkDialogs;
    int dialogDepth = 0;
    bool closeWanted = false;
    std::unique_ptr<GuardedDialogs> dialogs;
    std::unique_ptr<PendingQueue> pending;
    std::unique_ptr<Application> app;
    std::unique_ptr<GtkEditorHost> editors;
    std::unique_ptr<RequestFront> front;
    std::unique_ptr<WebViewHost> web;
    guint tickSource = 0;
    guint signalSources[2] = {0, 0};
    // Idle calls queued for this program check it is still alive.
    std::shared_ptr<int> alive = std::make_shared<int>(0);
};

namespace {

gboolean onDelete(GtkWidget*, GdkEvent*, gpointer data) {
    try {
        static_cast<ShellProgram*>(data)->requestClose();
    } catch (...) {
    }
    return TRUE;
}

gboolean onSignal(gpointer data) {
    try {
        static_cast<ShellProgram*>(data)->requestClose();
    } catch (...) {
    }
    return G_SOURCE_CONTINUE;
}

GtkWidget* makeMainWindow() {
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), kMainWindowTitle);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_window_set_wmclass(GTK_WINDOW(window), kMainWindowClass, kMainWindowClass);
    G_GNUC_END_IGNORE_DEPRECATIONS
    gtk_window_set_default_size(GTK_WINDOW(window), 1440, 960);
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, "window { background-color: rgb(12,17,23); }", -1,
                                    nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(window), GTK_STYLE_PROVIDER(css),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);
    return window;
}

} // namespace

ShellProgram::ShellProgram(ShellOptions options) : impl_(std::make_unique<Impl>()) {
    Impl& d = *impl_;
    d.options = std::move(options);
    d.server = d.options.server != nullptr ? d.options.server : &remoteServer();
    d.folder = d.options.folder.empty() ? executableFolder() : d.options.folder;

    d.window = makeMainWindow();
    g_object_ref(d.window);
    g_signal_connect(d.window, "delete-event", G_CALLBACK(onDelete), this);
    g_signal_connect_swapped(d.window, "destroy", G_CALLBACK(+[](ShellProgram* self) {
                                 try {
                                     self->onDestroy();
                                 } catch (...) {
                                 }
                             }),
                             this);
    d.gtkDialogs = std::make_unique<GtkDialogs>(GTK_WINDOW(d.window));
    d.dialogs = std::make_unique<GuardedDialogs>(d.options.dialogs != nullptr ? *d.options.dialogs
                                                                              : *d.gtkDialogs,
                                                 d.dialogDepth, [this] { dialogReturned(); });
    d.signalSources[0] = g_unix_signal_add(SIGINT, onSignal, this);
    d.signalSources[1] = g_unix_signal_add(SIGTERM, onSignal, this);

    std::weak_ptr<int> alive = d.alive;
    d.pending = std::make_unique<PendingQueue>([this, alive] {
        callOnUiThread([this, alive] {
            if (alive.lock()) {
                drainPending();
            }
        });
    });

    try {
        d.app = d.options.makeApplication ? d.options.makeApplication()
                                          : std::make_unique<Application>();
    } catch (const std::exception& e) {
        d.dialogs->showError(e.what());
        exitCode_ = 1;
        return;
    }
    d.editors = std::make_unique<GtkEditorHost>(
        GTK_WINDOW(d.window), EditorCalls{[this] {
                                              if (impl_->app) {
                                                  impl_->app->closePluginEditors();
                                              }
                                          },
                                          [this](int width, int height) {
                                              return impl_->app &&
                                                     impl_->app->resizePluginEditors(width, height);
                                          }});

    if (!d.options.webRoot.empty()) {
        d.webRoot = d.options.webRoot;
    } else if (exists(d.folder + "/ui")) {
        d.webRoot = d.folder + "/ui";
    } else {
        d.webRoot = parentFolder(d.folder) + "/ui";
    }
    d.front = std::make_unique<RequestFront>(
        *d.app, *d.dialogs, *d.editors, *d.server,
        [this](const Json& request) { return impl_->pending->submit(request); },
        FrontConfig{d.webRoot, false});
    // Jobs are collected from now on, with or without a page.
    d.tickSource = addSteadyTick(
        kTickMs,
        [](gpointer data) -> gboolean {
            try {
                static_cast<ShellProgram*>(data)->tick();
            } catch (...) {
            }
            return G_SOURCE_CONTINUE;
        },
        this);

    runPairingHandOff(d.folder, *d.front, *d.dialogs);

    if (d.options.webView) {
        const std::string profile = d.folder + "/" + kWebViewProfileFolder;
        if (g_mkdir_with_parents(profile.c_str(), 0700) != 0) {
            d.dialogs->showError("Could not create the web view profile folder " + profile);
            exitCode_ = 1;
            return;
        }
        try {
            d.web = std::make_unique<WebViewHost>(
                d.window, d.webRoot, profile,
                [this](const std::string& text) { onPageMessage(text); });
            d.web->whenStatusOwed([this] { postStatus(); });
        } catch (const std::exception& e) {
            d.dialogs->showError(e.what());
        }
    }
    if (!closed_) {
        gtk_widget_show_all(d.window);
    }
}

ShellProgram::~ShellProgram() {
    Impl& d = *impl_;
    if (!closed_ && d.window != nullptr) {
        gtk_widget_destroy(d.window);
    }
    onDestroy();
    for (guint& source : d.signalSources) {
        if (source != 0) {
            g_source_remove(source);
            source = 0;
        }
    }
    if (d.window != nullptr) {
        g_signal_handlers_disconnect_by_data(d.window, this);
        g_object_unref(d.window);
        d.window = nullptr;
    }
    d.alive.reset();
}

void ShellProgram::requestClose() {
    Impl& d = *impl_;
    if (closed_) {
        return;
    }
    if (d.dialogDepth > 0) {
        d.closeWanted = true;
        return;
    }
    if (d.app) {
        d.app->cancelAsyncJob();
        d.app->closePluginEditors();
    }
    if (d.editors) {
        d.editors->destroyEditorWindow();
    }
    gtk_widget_destroy(d.window);
}

void ShellProgram::dialogReturned() {
    Impl& d = *impl_;
    if (!d.closeWanted) {
        return;
    }
    d.closeWanted = false;
    // The request that opened the dialog is still on the stack: close after it returns.
    std::weak_ptr<int> alive = d.alive;
    callOnUiThread([this, alive] {
        if (alive.lock()) {
            requestClose();
        }
    });
}

void ShellProgram::onDestroy() {
    Impl& d = *impl_;
    if (closed_) {
        return;
    }
    closed_ = true;
    // A plug-in view that outlived its X window could end the process: editors go first, on
    // every way the main window is destroyed.
    if (d.app) {
        try {
            d.app->closePluginEditors();
        } catch (...) {
        }
    }
    if (d.editors) {
        d.editors->destroyEditorWindow();
    }
    if (d.tickSource != 0) {
        g_source_remove(d.tickSource);
        d.tickSource = 0;
    }
    d.pending->close();
    d.server->disable();
    if (d.web) {
        d.web->detach();
        d.web.reset();
    }
    d.front.reset();
    d.app.reset();
    if (gtk_main_level() > 0) {
        gtk_main_quit();
    }
}

void ShellProgram::tick() {
    Impl& d = *impl_;
    if (closed_ || !d.app || !d.front) {
        return;
    }
    const std::vector<Json> replies = d.front->collectFinishedJobs();
    if (d.web == nullptr || d.web->view() == nullptr) {
        return;
    }
    for (const Json& reply : replies) {
        d.web->postReply(reply);
    }
    postStatus();
}

void ShellProgram::postStatus() {
    Impl& d = *impl_;
    if (closed_ || !d.front || d.web == nullptr || d.web->view() == nullptr) {
        return;
    }
    if (d.web->statusInFlight()) {
        d.web->oweStatus();
        return;
    }
    // A snapshot that cannot be written as text is skipped, as the page's bridge would.
    std::string text;
    try {
        text = d.front->statusEventText();
    } catch (const std::exception&) {
        return;
    }
    d.web->postStatusEventText(text);
}

void ShellProgram::drainPending() {
    Impl& d = *impl_;
    if (closed_ || !d.front) {
        return;
    }
    d.pending->drain([&d](const Json& request) { return d.front->localRequest(request); });
}

Json ShellProgram::submitRemoteRequest(const Json& request) {
    return impl_->pending->submit(request);
}

void ShellProgram::onPageMessage(const std::string& text) {
    Impl& d = *impl_;
    if (closed_ || !d.front) {
        return;
    }
    if (std::optional<Json> reply = answerPageMessage(*d.front, text)) {
        postJsonToPage(*reply);
    }
}

void ShellProgram::postJsonToPage(const Json& reply) {
    Impl& d = *impl_;
    if (d.web) {
        d.web->postReply(reply);
    }
}

GtkWindow* ShellProgram::mainWindow() const noexcept {
    return closed_ ? nullptr : GTK_WINDOW(impl_->window);
}

WebKitWebView* ShellProgram::webView() const noexcept {
    return impl_->web ? impl_->web->view() : nullptr;
}

Application* ShellProgram::application() const noexcept {
    return impl_->app.get();
}

RequestFront* ShellProgram::front() const noexcept {
    return impl_->front.get();
}

GtkEditorHost& ShellProgram::editors() const noexcept {
    return *impl_->editors;
}

const std::string& ShellProgram::webRoot() const noexcept {
    return impl_->webRoot;
}

const std::string& ShellProgram::folder() const noexcept {
    return impl_->folder;
}

bool ShellProgram::statusInFlight() const noexcept {
    return impl_->web != nullptr && impl_->web->statusInFlight();
}

int runProgram(int argc, char** argv) {
    gdk_set_allowed_backends("x11");
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "KESTRAVON RUVI needs an X11 display: none could be opened (is "
                             "DISPLAY set? For a headless run use xvfb-run -a).\n");
        return 1;
    }
    gdk_set_program_class(kMainWindowClass);
    ShellProgram program{ShellOptions{}};
    if (program.exitCode() != 0) {
        return program.exitCode();
    }
    gtk_main();
    return program.exitCode();
}

} // namespace kestravon::ruvi
