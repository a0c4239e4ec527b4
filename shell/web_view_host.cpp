// The page's web view. WebKitGTK does not say which frame sent a script message, so the message
// handler lives in an isolated script world that only the bridge script shares, and that script
// is injected into the top frame of the page origin alone. Native-to-page posts are calls into
// the same world with the JSON text as an argument, so nothing is ever spliced into script text.

#include "shell/web_view_host.h"

#include "shell/bounded_file.h"

#include "shell/page_files.h"

#include <fcntl.h>
#include <gtk/gtk.h>
#include <libsoup/soup.h>
#include <sys/stat.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <cerrno>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace kestravon::ruvi {
namespace {

constexpr const char* kBridgeWorld = "ruvi-bridge";
constexpr const char* kMessageHandler = "ruvi";
constexpr const char* kProductSite = "https://kestravon-ruvi.org/";
constexpr off_t kMaxPageFileBytes = 256 * 1024 * 1024;

// Runs in the bridge world at document start of the top frame.
constexpr const char* kBridgeScript = R"JS((() => {
  "use strict";
  const handler = window.webkit && window.webkit.messageHandlers &&
                  window.webkit.messageHandlers.ruvi;
  if (!handler) return;
  const origin = window.location.origin;
  const maxText = 64 * 1024 * 1024;
  const mark = () => {
    if (document.documentElement) document.documentElement.setAttribute("data-ruvi-bridge", "1");
  };
  mark();
  document.addEventListener("readystatechange", mark);
  window.addEventListener("message", (event) => {
    if (!event.isTrusted || event.source !== window || event.origin !== origin) return;
    const data = event.data;
    if (!data || typeof data !== "object" || data.ruviBridge !== "request") return;
    if (typeof data.text !== "string" || data.text.length > maxText) return;
    handler.postMessage(data.text);
  });
  window.ruviDeliver = (kind, text) => {
    window.postMessage({ ruviBridge: kind, text: text }, origin);
  };
})();)JS";

bool isProductSite(const std::string& uri) {
    const std::string site = kProductSite;
    return uri == site || uri == site.substr(0, site.size() - 1);
}

// A served file, or nothing when it is missing or not a regular file.
std::unique_ptr<std::string> readPageFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    auto text = std::make_unique<std::string>();
    if (!readRegularFile(fd, kMaxPageFileBytes, *text)) {
        return nullptr;
    }
    return text;
}

void finishWith(WebKitURISchemeRequest* request, guint status, const char* reason, const char* type,
                std::unique_ptr<std::string> body) {
    auto* owned = body.release();
    GBytes* bytes = g_bytes_new_with_free_func(
        owned->data(), owned->size(), [](gpointer data) { delete static_cast<std::string*>(data); },
        owned);
    GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
    WebKitURISchemeResponse* response =
        webkit_uri_scheme_response_new(stream, static_cast<gint64>(g_bytes_get_size(bytes)));
    webkit_uri_scheme_response_set_status(response, status, reason);
    // Once headers are set, the separate content type is ignored, and nosniff would then block
    // every script: the type goes into the headers themselves.
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    soup_message_headers_append(headers, "Content-Type", type);
    soup_message_headers_append(headers, "X-Content-Type-Options", "nosniff");
    soup_message_headers_append(headers, "Cache-Control", "no-store");
    webkit_uri_scheme_response_set_http_headers(response, headers);
    webkit_uri_scheme_response_set_content_type(response, type);
    webkit_uri_scheme_request_finish_with_response(request, response);
    g_object_unref(response);
    g_object_unref(stream);
    g_bytes_unref(bytes);
}

} // namespace

// The status event on its way to the page. Shared with the completions of calls still on their
// way, which may outlive the host.
struct StatusSlot {
    bool inFlight = false;
    // A status event was skipped while one was on its way: the page is owed the newest.
    bool owed = false;
    std::function<void()> whenOwed;
};

struct WebViewHost::Impl {
    std::string webRoot;
    MessageHandler onMessage;
    std::shared_ptr<StatusSlot> status = std::make_shared<StatusSlot>();
    bool attached = true;
    WebKitWebContext* context = nullptr;
    WebKitUserContentManager* content = nullptr;
};

namespace {

using Impl = WebViewHost::Impl;

void servePage(WebKitURISchemeRequest* request, gpointer data) {
    const std::string& webRoot = *static_cast<std::string*>(data);
    try {
        const std::optional<std::string> file =
            pageFileForUri(webkit_uri_scheme_request_get_uri(request));
        std::unique_ptr<std::string> body = file ? readPageFile(webRoot + "/" + *file) : nullptr;
        if (body == nullptr) {
            finishWith(request, 404, "Not Found", "text/plain; charset=utf-8",
                       std::make_unique<std::string>("Not found"));
            return;
        }
        finishWith(request, 200, "OK", pageContentType(*file), std::move(body));
    } catch (...) {
        GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_FAILED, "Page file failed");
        webkit_uri_scheme_request_finish_error(request, error);
        g_error_free(error);
    }
}

void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
    auto& d = *static_cast<Impl*>(data);
    try {
        JSCValue* value = webkit_javascript_result_get_js_value(result);
        if (!d.attached || value == nullptr || !jsc_value_is_string(value)) {
            return;
        }
        gchar* text = jsc_value_to_string(value);
        if (text == nullptr) {
            return;
        }
        std::string message(text);
        // The text may carry a password ("configureRemote"): no copy outlives this call.
        explicit_bzero(text, message.size());
        g_free(text);
        try {
            d.onMessage(message);
        } catch (...) {
        }
        explicit_bzero(message.data(), message.size());
    } catch (...) {
    }
}

gboolean onDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision,
                        WebKitPolicyDecisionType type, gpointer) {
    try {
        if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
            type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
            return FALSE;
        }
        WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
            WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        const char* raw = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        const std::string uri = raw != nullptr ? raw : "";
        if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && isPageAddress(uri)) {
            webkit_policy_decision_use(decision);
            return TRUE;
        }
        webkit_policy_decision_ignore(decision);
        if (isProductSite(uri) && webkit_navigation_action_is_user_gesture(action)) {
            GtkWidget* top = gtk_widget_get_toplevel(GTK_WIDGET(view));
            gtk_show_uri_on_window(GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr, kProductSite,
                                   GDK_CURRENT_TIME, nullptr);
        }
    } catch (...) {
        webkit_policy_decision_ignore(decision);
    }
    return TRUE;
}

GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction*, gpointer) {
    return nullptr;
}

gboolean onContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*,
                       gpointer) {
    return TRUE;
}

// A crashed web process takes the page with it: load the start page again, once per crash.
void onWebProcessTerminated(WebKitWebView* view, WebKitWebProcessTerminationReason, gpointer data) {
    try {
        auto& d = *static_cast<Impl*>(data);
        d.status->inFlight = false;
        d.status->owed = false;
        if (d.attached) {
            webkit_web_view_load_uri(view, kStartPage);
        }
    } catch (...) {
    }
}

struct CallDone {
    std::shared_ptr<StatusSlot> status; // null for replies
};

} // namespace

WebViewHost::WebViewHost(GtkWidget* container, const std::string& webRoot,
                         const std::string& profileFolder, MessageHandler onMessage)
    : impl_(new Impl) {
    impl_->webRoot = webRoot;
    impl_->onMessage = std::move(onMessage);
    const std::string cache = profileFolder + "/cache";
    WebKitWebsiteDataManager* data =
        webkit_website_data_manager_new("base-data-directory", profileFolder.c_str(),
                                        "base-cache-directory", cache.c_str(), nullptr);
    impl_->context = webkit_web_context_new_with_website_data_manager(data);
    g_object_unref(data);
    if (impl_->context == nullptr) {
        delete impl_;
        throw std::runtime_error("Could not create the web view. Install WebKitGTK 4.1.");
    }
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(impl_->context);
    webkit_security_manager_register_uri_scheme_as_secure(security, kPageScheme);
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, kPageScheme);
    webkit_web_context_register_uri_scheme(
        impl_->context, kPageScheme, servePage, new std::string(webRoot),
        [](gpointer data) { delete static_cast<std::string*>(data); });

    impl_->content = webkit_user_content_manager_new();
    g_signal_connect(impl_->content, "script-message-received::ruvi", G_CALLBACK(onScriptMessage),
                     impl_);
    webkit_user_content_manager_register_script_message_handler_in_world(
        impl_->content, kMessageHandler, kBridgeWorld);
    const gchar* allow[] = {"ruvi://console/*", nullptr};
    WebKitUserScript* bridge = webkit_user_script_new_for_world(
        kBridgeScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
        WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, kBridgeWorld, allow, nullptr);
    webkit_user_content_manager_add_script(impl_->content, bridge);
    webkit_user_script_unref(bridge);

    WebKitSettings* settings = webkit_settings_new();
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
    webkit_settings_set_allow_file_access_from_file_urls(settings, FALSE);
    webkit_settings_set_allow_universal_access_from_file_urls(settings, FALSE);
    // The page is flat 2-D work (meters, faders, text) that the web process paints with the CPU
    // in the damaged rectangles alone. Composited through GL, a display without a GPU driver
    // (a virtual display, a remote desktop, a machine on a fallback driver) rasterises every
    // frame in software on every core: the 32-strip page with faders moving took two cores of
    // the audio machine that way, and under half of one painted directly.
    webkit_settings_set_hardware_acceleration_policy(settings,
                                                     WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);

    view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", impl_->context,
                                         "user-content-manager", impl_->content, "settings",
                                         settings, nullptr));
    g_object_unref(settings);
    if (view_ == nullptr) {
        g_object_unref(impl_->content);
        g_object_unref(impl_->context);
        delete impl_;
        impl_ = nullptr;
        throw std::runtime_error("Could not create the web view. Install WebKitGTK 4.1.");
    }
    const GdkRGBA background{12.0 / 255.0, 17.0 / 255.0, 23.0 / 255.0, 1.0};
    webkit_web_view_set_background_color(view_, &background);
    g_signal_connect(view_, "decide-policy", G_CALLBACK(onDecidePolicy), impl_);
    g_signal_connect(view_, "create", G_CALLBACK(onCreate), impl_);
    g_signal_connect(view_, "context-menu", G_CALLBACK(onContextMenu), impl_);
    g_signal_connect(view_, "web-process-terminated", G_CALLBACK(onWebProcessTerminated), impl_);
    gtk_container_add(GTK_CONTAINER(container), GTK_WIDGET(view_));
    gtk_widget_show(GTK_WIDGET(view_));
    webkit_web_view_load_uri(view_, kStartPage);
}

WebViewHost::~WebViewHost() {
    detach();
    if (impl_ != nullptr) {
        webkit_user_content_manager_unregister_script_message_handler_in_world(
            impl_->content, kMessageHandler, kBridgeWorld);
        g_signal_handlers_disconnect_by_data(impl_->content, impl_);
        g_object_unref(impl_->content);
        g_object_unref(impl_->context);
        delete impl_;
    }
}

void WebViewHost::detach() noexcept {
    if (view_ != nullptr) {
        g_signal_handlers_disconnect_by_data(view_, impl_);
        view_ = nullptr;
    }
    if (impl_ != nullptr) {
        impl_->attached = false;
        impl_->status->owed = false;
        impl_->status->whenOwed = nullptr;
    }
}

namespace {

void deliver(WebKitWebView* view, std::shared_ptr<StatusSlot> status, const char* kind,
             const std::string& text) {
    GVariantDict arguments;
    g_variant_dict_init(&arguments, nullptr);
    g_variant_dict_insert(&arguments, "kind", "s", kind);
    g_variant_dict_insert_value(&arguments, "text", g_variant_new_string(text.c_str()));
    // The call only reads its arguments and never sinks the floating reference the dictionary
    // hands out, so that reference is ours to drop: left floating, every post would keep its
    // whole text (a status event ten times a second).
    GVariant* packed = g_variant_ref_sink(g_variant_dict_end(&arguments));
    auto* done = new CallDone{std::move(status)};
    webkit_web_view_call_async_javascript_function(
        view, "ruviDeliver(kind, text);", -1, packed, kBridgeWorld, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<CallDone> call(static_cast<CallDone*>(data));
            GError* error = nullptr;
            JSCValue* value = webkit_web_view_call_async_javascript_function_finish(
                WEBKIT_WEB_VIEW(source), result, &error);
            if (value != nullptr) {
                g_object_unref(value);
            }
            if (error != nullptr) {
                g_error_free(error);
            }
            if (call->status) {
                StatusSlot& slot = *call->status;
                slot.inFlight = false;
                if (slot.owed && slot.whenOwed) {
                    slot.owed = false;
                    try {
                        slot.whenOwed();
                    } catch (...) {
                    }
                }
            }
        },
        done);
    g_variant_unref(packed);
}

std::string compact(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
}

} // namespace

void WebViewHost::postReply(const nlohmann::json& reply) {
    if (view_ == nullptr) {
        return;
    }
    std::string text;
    try {
        text = compact(reply);
    } catch (const std::exception& e) {
        text = compact({{"id", reply.value("id", nlohmann::json(0))},
                        {"ok", false},
                        {"error", std::string(e.what())}});
    }
    deliver(view_, nullptr, "reply", text);
}

bool WebViewHost::statusInFlight() const noexcept {
    return impl_ != nullptr && impl_->status->inFlight;
}

void WebViewHost::whenStatusOwed(std::function<void()> post) {
    impl_->status->whenOwed = std::move(post);
}

void WebViewHost::oweStatus() noexcept {
    if (view_ != nullptr && impl_->status->inFlight) {
        impl_->status->owed = true;
    }
}

bool WebViewHost::postStatusEvent(const nlohmann::json& event) {
    if (view_ == nullptr || impl_->status->inFlight) {
        return false;
    }
    std::string text;
    try {
        text = compact(event);
    } catch (const std::exception&) {
        return false;
    }
    return postStatusEventText(text);
}

bool WebViewHost::postStatusEventText(const std::string& text) {
    if (view_ == nullptr || impl_->status->inFlight) {
        return false;
    }
    impl_->status->inFlight = true;
    deliver(view_, impl_->status, "event", text);
    return true;
}

} // namespace kestravon::ruvi
