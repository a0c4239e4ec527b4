#pragma once
// The web view that fills the main window: the page served from the page folder over the
// custom scheme, the bridge in its own script world, and the navigation lock.

#include <nlohmann/json.hpp>

#include <functional>
#include <string>

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;

namespace kestravon::ruvi {

class WebViewHost {
public:
    // Receives one page message: the request as JSON text.
    using MessageHandler = std::function<void(const std::string& text)>;

    // Makes the view inside container with its data in profileFolder; throws with the user's
    // message when the web view cannot be made.
    WebViewHost(GtkWidget* container, const std::string& webRoot, const std::string& profileFolder,
                MessageHandler onMessage);
    ~WebViewHost();
    WebViewHost(const WebViewHost&) = delete;
    WebViewHost& operator=(const WebViewHost&) = delete;

    // Posts {"ruviBridge": kind, "text": the value's compact JSON} to the page through the
    // bridge world. A status event is skipped while the previous one is still on its way.
    void postReply(const nlohmann::json& reply);
    // False when the previous status event is still being delivered.
    bool postStatusEvent(const nlohmann::json& event);
    // The same with the event already written as compact JSON text.
    bool postStatusEventText(const std::string& text);
    [[nodiscard]] bool statusInFlight() const noexcept;
    // Marks a status event as owed when one is on its way (a skipped tick).
    void oweStatus() noexcept;
    // Called on the UI thread as soon as the page has taken the status event on its way, if one
    // was skipped meanwhile, so the newest state reaches the page without waiting a whole tick.
    void whenStatusOwed(std::function<void()> post);

    WebKitWebView* view() const noexcept { return view_; }
    // Forgets the view before its widget is destroyed: later posts do nothing.
    void detach() noexcept;

    struct Impl;

private:
    WebKitWebView* view_ = nullptr;
    Impl* impl_ = nullptr;
};

} // namespace kestravon::ruvi
