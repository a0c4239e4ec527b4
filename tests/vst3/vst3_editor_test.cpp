#include "vst3/vst3_effect.h"

#include "test_plugin_support.h"
#include "x11_test_window.h"

#include <gtest/gtest.h>

#include <glib.h>

#include "pluginterfaces/base/funknown.h"

#include <memory>
#include <thread>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

namespace kestravon::ruvi {
namespace {

using testing::testplugBundle;
using testing::testplugProbe;
using testing::testplugSymbol;
using testing::X11TestWindow;

void iterateFor(int milliseconds) {
    const gint64 end = g_get_monotonic_time() + milliseconds * 1000;
    while (g_get_monotonic_time() < end) {
        g_main_context_iteration(nullptr, FALSE);
        g_usleep(2000);
    }
}

class Vst3Editor : public ::testing::Test {
protected:
    void SetUp() override {
        window = std::make_unique<X11TestWindow>(300, 200);
        if (!window->opened()) {
            GTEST_SKIP() << "no X display";
        }
        std::string error;
        ASSERT_TRUE(effect.open(testplugBundle("basic"), 48000.0, 128, 2, error)) << error;
        editorMode = testplugSymbol<TestplugKnobFn>("basic", "ruviTestplugSetEditorMode");
        resizeView = testplugSymbol<TestplugResizeViewFn>("basic", "ruviTestplugResizeView");
        probe = testplugProbe("basic");
        ASSERT_NE(editorMode, nullptr);
    }
    void TearDown() override {
        effect.closeEditor();
        if (editorMode != nullptr) {
            editorMode(0);
        }
    }

    bool openWithMode(int mode, std::string& error) {
        editorMode(mode);
        return effect.openEditor(window.get(), error);
    }

    std::unique_ptr<X11TestWindow> window;
    Vst3Effect effect;
    TestplugKnobFn editorMode = nullptr;
    TestplugResizeViewFn resizeView = nullptr;
    TestplugProbe* probe = nullptr;
};

TEST_F(Vst3Editor, Refusals) {
    struct Case {
        int mode;
        const char* message;
    };
    for (const Case c : {Case{2, "VST3 editor does not support this X11 parent."},
                         Case{3, "VST3 editor does not support this X11 parent."},
                         Case{5, "This VST3 effect has no native editor."}}) {
        SCOPED_TRACE(c.mode);
        std::string error;
        EXPECT_FALSE(openWithMode(c.mode, error));
        EXPECT_EQ(error, c.message);
        EXPECT_FALSE(effect.resizeEditor(400, 300));
    }
    std::string error;
    editorMode(0);
    EXPECT_FALSE(effect.openEditor(nullptr, error));
    EXPECT_EQ(error, "A valid native parent window is required.");
    Vst3Effect empty;
    EXPECT_FALSE(empty.openEditor(window.get(), error));
    EXPECT_EQ(error, "A valid native parent window is required.");
    window->destroyWindow();
    EXPECT_FALSE(effect.openEditor(window.get(), error));
    EXPECT_EQ(error, "A valid native parent window is required.");
    EXPECT_TRUE(window->fits.empty());
}

TEST_F(Vst3Editor, ResizableViewFollowsTheWindowWithinItsConstraints) {
    std::string error;
    ASSERT_TRUE(openWithMode(0, error)) << error;
    EXPECT_EQ(window->borderDrops, 0);
    ASSERT_EQ(window->fits.size(), 1u);
    EXPECT_EQ(window->fits[0], std::make_pair(400, 300));
    EXPECT_EQ(window->size(), std::make_pair(400, 300));

    for (auto [width, height] : {std::pair{0, 300}, std::pair{9000, 300}, std::pair{300, 8193}}) {
        probe->viewOnSizeWidth = -1;
        EXPECT_FALSE(effect.resizeEditor(width, height));
        EXPECT_EQ(probe->viewOnSizeWidth, -1); // the plug-in was not asked
    }
    EXPECT_TRUE(effect.resizeEditor(500, 400));
    EXPECT_EQ(probe->viewOnSizeWidth, 500);
    EXPECT_EQ(window->fits.size(), 1u); // the window already has that size

    // The plug-in allows at most 800 by 600: the window snaps to that.
    EXPECT_TRUE(effect.resizeEditor(1000, 700));
    EXPECT_EQ(probe->viewOnSizeWidth, 800);
    EXPECT_EQ(probe->viewOnSizeHeight, 600);
    EXPECT_EQ(window->fits.back(), std::make_pair(800, 600));
    EXPECT_EQ(window->size(), std::make_pair(800, 600));

    effect.closeEditor();
    EXPECT_FALSE(effect.resizeEditor(500, 400));
}

TEST_F(Vst3Editor, FixedSizeViewDropsTheBorderAndRefusesResizes) {
    std::string error;
    ASSERT_TRUE(openWithMode(1, error)) << error;
    EXPECT_EQ(window->borderDrops, 1);
    EXPECT_FALSE(effect.resizeEditor(500, 400));
}

TEST_F(Vst3Editor, ViewMayResizeItselfWhileAttaching) {
    std::string error;
    ASSERT_TRUE(openWithMode(4, error)) << error;
    EXPECT_EQ(probe->resizeViewResult, Steinberg::kResultOk);
    EXPECT_EQ(probe->viewOnSizeWidth, 640);
    EXPECT_EQ(probe->viewOnSizeHeight, 480);
    EXPECT_EQ(window->fits.back(), std::make_pair(640, 480));
    EXPECT_EQ(window->size(), std::make_pair(640, 480));
}

TEST_F(Vst3Editor, ResizeViewOnlyFromTheEditorThread) {
    std::string error;
    ASSERT_TRUE(openWithMode(0, error)) << error;
    EXPECT_EQ(resizeView(700, 500, 1), Steinberg::kInvalidArgument);
    bool resizedElsewhere = true;
    std::thread([&] { resizedElsewhere = effect.resizeEditor(500, 400); }).join();
    EXPECT_FALSE(resizedElsewhere);
    EXPECT_EQ(window->size(), std::make_pair(400, 300));
    EXPECT_EQ(resizeView(0, 500, 0), Steinberg::kInvalidArgument);
    EXPECT_EQ(resizeView(700, 500, 0), Steinberg::kResultOk);
    EXPECT_EQ(probe->viewOnSizeWidth, 700);
    EXPECT_EQ(window->size(), std::make_pair(700, 500));
}

TEST(ZamEditorIntegration, ZamCompDrawsIntoARealWindow) {
    X11TestWindow window(200, 100);
    if (!window.opened()) {
        GTEST_SKIP() << "no X display";
    }
#ifdef __SANITIZE_ADDRESS__
    // ZamComp's editor keeps a few allocations of its own past its module's unload; the
    // host side of the editor is leak-checked by the test plug-in's editor tests.
    __lsan::ScopedDisabler pluginEditorLeaks;
#endif
    Vst3Effect comp;
    std::string error;
    ASSERT_TRUE(comp.open("/usr/lib/vst3/ZamComp.vst3", 48000.0, 128, 1, error)) << error;
    ASSERT_TRUE(comp.openEditor(&window, error)) << error;
    const auto [width, height] = window.size();
    EXPECT_GT(width, 200);
    EXPECT_GT(height, 100);
    // The editor paints from its run-loop callbacks only; thirty seconds is an editor that
    // never paints, not one on a busy machine.
    bool painted = false;
    for (int round = 0; round < 600 && !painted; ++round) {
        iterateFor(50);
        painted = window.showsContent();
    }
    EXPECT_TRUE(painted);
    comp.closeEditor();
    iterateFor(20);
}

} // namespace
} // namespace kestravon::ruvi
