// The plug-in editor window under a virtual X display, with real plug-ins: ZamComp, and the
// project's test plug-in for a view that constrains its size.

#include "shell/gtk_editor_window.h"

#include "app/application.h"
#include "gtk_test_support.h"
#include "remote/remote_server.h"
#include "shell/request_front.h"
#include "shell/shell_program.h"
#include "shell_test_support.h"
#include "test_plugin_support.h"
#include "vst3/editor_window.h"
#include "vst3/vst3_effect.h"

#include <gtk/gtk.h>

#include <gtest/gtest.h>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include <string>
#include <utility>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

// A ceiling for what a loaded machine delays but a working editor window always does: a resize
// reaching the view, a size settling, a first paint.
constexpr auto kEditorCeiling = 30s;

constexpr const char* kEditorTitle = "KESTRAVON RUVI — VST3 editor";

int editorWindowsOnScreen() {
    int count = 0;
    GList* windows = gtk_window_list_toplevels();
    for (GList* item = windows; item != nullptr; item = item->next) {
        GtkWindow* window = GTK_WINDOW(item->data);
        const char* title = gtk_window_get_title(window);
        if (title != nullptr && std::string(title) == kEditorTitle &&
            gtk_widget_get_visible(GTK_WIDGET(window))) {
            ++count;
        }
    }
    g_list_free(windows);
    return count;
}

std::pair<int, int> clientSize(GtkWindow* window) {
    int width = 0;
    int height = 0;
    gtk_window_get_size(window, &width, &height);
    return {width, height};
}

struct EditorFixture : ::testing::Test {
    GtkWidget* owner = nullptr;
    Vst3Effect effect;
    std::unique_ptr<GtkEditorHost> host;

    void SetUp() override {
        ASSERT_TRUE(gtkReady());
        owner = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_default_size(GTK_WINDOW(owner), 640, 480);
        gtk_widget_show_all(owner);
        host = std::make_unique<GtkEditorHost>(
            GTK_WINDOW(owner), EditorCalls{[this] { effect.closeEditor(); },
                                           [this](int width, int height) {
                                               return effect.resizeEditor(width, height);
                                           }});
    }
    void TearDown() override {
        host.reset();
        if (owner != nullptr) {
            gtk_widget_destroy(owner);
        }
        runFor(30ms);
    }

    EditorWindow* openIn(std::string& error) {
        EditorWindow* window = host->createEditorWindow(error);
        if (window == nullptr || !effect.openEditor(window, error)) {
            return nullptr;
        }
        host->showEditorWindow();
        return window;
    }
};

TEST_F(EditorFixture, ZamCompShowsInItsOwnWindowAtItsViewsSize) {
#ifdef __SANITIZE_ADDRESS__
    // ZamComp's editor keeps allocations of its own past its module's unload.
    __lsan::ScopedDisabler pluginEditorLeaks;
#endif
    std::string error;
    ASSERT_TRUE(effect.open("/usr/lib/vst3/ZamComp.vst3", 48000.0, 128, 1, error)) << error;
    EditorWindow* window = openIn(error);
    ASSERT_NE(window, nullptr) << error;
    GtkWindow* editor = host->editorGtkWindow();
    ASSERT_TRUE(runUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(editor)) != FALSE; },
                         kEditorCeiling));
    EXPECT_STREQ(gtk_window_get_title(editor), kEditorTitle);
    EXPECT_EQ(windowClass(editor), "KestravonVstEditor/KestravonVstEditor");
    EXPECT_EQ(gtk_window_get_transient_for(editor), GTK_WINDOW(owner));

    // The window takes the view's own size, not its default 1250 by 870.
    const auto view = firstChildSize(window->x11Window());
    EXPECT_GT(view.first, 100);
    EXPECT_GT(view.second, 50);
    EXPECT_TRUE(runUntil([&] { return clientSize(editor) == view; }, kEditorCeiling))
        << clientSize(editor).first << "x" << clientSize(editor).second;
    // The editor paints from its run-loop callbacks.
    EXPECT_TRUE(runUntil([&] { return distinctColours(editor) > 1; }, kEditorCeiling));

    // Showing again leaves exactly one editor window.
    effect.closeEditor();
    ASSERT_NE(openIn(error), nullptr) << error;
    runFor(100ms);
    EXPECT_EQ(editorWindowsOnScreen(), 1);

    // The window goes with its view closed first.
    host->destroyEditorWindow();
    EXPECT_FALSE(host->hasEditorWindow());
    EXPECT_FALSE(effect.resizeEditor(300, 200)) << "the view must be closed";
    runFor(100ms);
    EXPECT_EQ(editorWindowsOnScreen(), 0);
}

TEST_F(EditorFixture, AConstrainingViewRefitsTheWindowTheUserDragged) {
    std::string error;
    ASSERT_TRUE(effect.open(testing::testplugBundle("basic"), 48000.0, 128, 2, error)) << error;
    auto* probe = testing::testplugProbe("basic");
    ASSERT_NE(probe, nullptr);
    ASSERT_NE(openIn(error), nullptr) << error;
    GtkWindow* editor = host->editorGtkWindow();
    ASSERT_TRUE(
        runUntil([&] { return clientSize(editor) == std::make_pair(400, 300); }, kEditorCeiling));

    // The user drags the window to 1000 by 700; the view allows at most 800 by 600.
    gtk_window_resize(editor, 1000, 700);
    EXPECT_TRUE(runUntil([&] { return probe->viewOnSizeWidth == 800; }, kEditorCeiling));
    EXPECT_EQ(probe->viewOnSizeHeight, 600);
    EXPECT_TRUE(
        runUntil([&] { return clientSize(editor) == std::make_pair(800, 600); }, kEditorCeiling))
        << clientSize(editor).first << "x" << clientSize(editor).second;

    // A size inside the limits reaches the view unchanged.
    gtk_window_resize(editor, 500, 400);
    EXPECT_TRUE(runUntil([&] { return probe->viewOnSizeWidth == 500; }, kEditorCeiling));
    EXPECT_EQ(probe->viewOnSizeHeight, 400);
    host->destroyEditorWindow();
}

// Through the program: the front's editor path on an applied session with ZamComp.
TEST(EditorThroughTheProgram, ShowVstEditorOpensOneWindowAndCloseTakesItFirst) {
    ASSERT_TRUE(gtkReady());
#ifdef __SANITIZE_ADDRESS__
    __lsan::ScopedDisabler pluginEditorLeaks;
#endif
    TempFolder folder;
    ScriptedDialogs dialogs;
    RemoteServer server;
    ShellOptions o;
    o.folder = folder.path;
    o.webRoot = probeWebRoot();
    o.webView = false;
    o.makeApplication = [] { return headlessApplication(); };
    o.dialogs = &dialogs;
    o.server = &server;
    ShellProgram program(o);
    RequestFront& front = *program.front();
    const Json session = {
        {"native",
         {{"format", "kestravon-live-native-0.1"},
          {"nodes",
           {{{"id", "strip-1"},
             {"kind", "input"},
             {"inserts", {{{"id", "comp"}, {"modulePath", "/usr/lib/vst3/ZamComp.vst3"}}}}},
            {{"id", "main-lr"}, {"kind", "bus"}, {"width", 2}}}}}},
        {"uiState", {{"schemaVersion", 2}, {"scenes", Json::array()}}}};
    const Json applied =
        front.localRequest({{"id", 1}, {"method", "applySession"}, {"params", session}});
    if (coreMethodMissing(applied)) {
        GTEST_SKIP() << applied.dump();
    }
    ASSERT_EQ(applied.at("ok"), true) << applied.dump();

    const Json show = {{"id", 2},
                       {"method", "showVstEditor"},
                       {"params", {{"nodeId", "strip-1"}, {"slotId", "comp"}}}};
    Json reply = front.localRequest(show);
    ASSERT_EQ(reply, Json({{"id", 2}, {"ok", true}, {"result", {{"shown", true}}}}));
    reply = front.localRequest(show);
    ASSERT_EQ(reply.at("ok"), true);
    runFor(200ms);
    EXPECT_EQ(editorWindowsOnScreen(), 1);

    // Refusals after that keep the user's editor open.
    Json remote = show;
    remote["_remote"] = true;
    EXPECT_EQ(front.localRequest(remote).at("ok"), false);
    EXPECT_EQ(front.localRequest({{"id", 3}, {"method", "showVstEditor"}}).at("ok"), false);
    EXPECT_TRUE(program.editors().hasEditorWindow());
    // An insert that is not there: no window is left behind.
    reply = front.localRequest({{"id", 4},
                                {"method", "showVstEditor"},
                                {"params", {{"nodeId", "strip-1"}, {"slotId", "nothing"}}}});
    EXPECT_EQ(reply, Json({{"id", 4}, {"ok", false}, {"error", "Applied insert missing"}}));
    EXPECT_FALSE(program.editors().hasEditorWindow());

    ASSERT_EQ(front.localRequest(show).at("ok"), true);
    program.requestClose();
    EXPECT_TRUE(program.closed());
    runFor(100ms);
    EXPECT_EQ(editorWindowsOnScreen(), 0);
}

} // namespace
} // namespace kestravon::ruvi
