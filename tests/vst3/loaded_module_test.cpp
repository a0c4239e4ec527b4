#include "vst3/loaded_module.h"
#include "vst3/vst3_effect.h"

#include "test_plugin_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kestravon::ruvi {
namespace {

namespace fs = std::filesystem;
using testing::clearTrace;
using testing::testplugBundle;
using testing::testplugLoaded;
using testing::testplugModule;
using testing::traceEvents;

long countOf(const std::vector<std::string>& events, const std::string& event) {
    return std::count(events.begin(), events.end(), event);
}

bool openBasic(Vst3Effect& effect, const std::string& path, std::string& error) {
    return effect.open(path, 48000.0, 128, 2, error);
}

TEST(LoadedModule, InsertsOfOneBundleShareTheModuleAndEntryRunsOnce) {
    clearTrace();
    std::string error;
    {
        Vst3Effect byBundle;
        Vst3Effect byFile;
        Vst3Effect byDottedPath;
        ASSERT_TRUE(openBasic(byBundle, testplugBundle("basic"), error)) << error;
        ASSERT_TRUE(openBasic(byFile, testplugModule("basic"), error)) << error;
        const std::string dotted = testplugBundle("basic") + "/Contents/../Contents/x86_64-linux/" +
                                   "ruvi_testplug_basic.so";
        ASSERT_TRUE(openBasic(byDottedPath, dotted, error)) << error;
        EXPECT_EQ(countOf(traceEvents(), "entry"), 1);
        EXPECT_TRUE(testplugLoaded("basic"));
    }
    // The factory goes before ModuleExit, and the module is unloaded with the last instance.
    const std::vector<std::string> events = traceEvents();
    ASSERT_EQ(events, (std::vector<std::string>{"entry", "factory released", "exit"}));
    EXPECT_FALSE(testplugLoaded("basic"));

    Vst3Effect again;
    ASSERT_TRUE(openBasic(again, testplugBundle("basic"), error)) << error;
    EXPECT_EQ(countOf(traceEvents(), "entry"), 2);
}

TEST(LoadedModule, FailedOpenOfAFreshModuleUnloadsIt) {
    clearTrace();
    Vst3Effect effect;
    std::string error;
    EXPECT_FALSE(effect.open(testplugBundle("no_mono_stereo"), 48000.0, 128, 1, error));
    EXPECT_FALSE(testplugLoaded("no_mono_stereo"));
    EXPECT_EQ(traceEvents(), (std::vector<std::string>{"entry", "factory released", "exit"}));
}

TEST(LoadedModule, RefusedModules) {
    struct Case {
        std::string plugin;
        std::string message;
        std::vector<std::string> events;
    };
    const std::vector<Case> cases = {
        // A failed ModuleEntry is freed without ModuleExit.
        {"init_fails", "VST3 module initialization failed.", {"entry"}},
        {"no_classes", "Invalid VST3 factory class count.", {"entry", "factory released", "exit"}},
        {"too_many_classes",
         "Invalid VST3 factory class count.",
         {"entry", "factory released", "exit"}},
        {"controller_only",
         "No VST3 audio-effect class found.",
         {"entry", "factory released", "exit"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plugin);
        clearTrace();
        Vst3Effect effect;
        std::string error;
        EXPECT_FALSE(effect.open(testplugBundle(c.plugin), 48000.0, 128, 2, error));
        EXPECT_EQ(error, c.message);
        EXPECT_EQ(traceEvents(), c.events);
        EXPECT_FALSE(testplugLoaded(c.plugin));
        EXPECT_FALSE(effect.isOpen());
    }
}

TEST(LoadedModule, ModuleWithoutEntryStillExits) {
    clearTrace();
    {
        Vst3Effect effect;
        std::string error;
        ASSERT_TRUE(openBasic(effect, testplugBundle("no_entry"), error)) << error;
    }
    EXPECT_EQ(traceEvents(), (std::vector<std::string>{"factory released", "exit"}));
}

TEST(LoadedModule, ResolvesBundlesAndFiles) {
    const fs::path module = testplugModule("basic");
    EXPECT_EQ(resolveModuleBinary(testplugBundle("basic")), fs::weakly_canonical(module));
    EXPECT_EQ(resolveModuleBinary(module), fs::weakly_canonical(module));

    const fs::path scratch =
        fs::temp_directory_path() / ("ruvi-vst3-resolve-" + std::to_string(::getpid()));
    fs::create_directories(scratch / "Empty.vst3" / "Contents" / "x86_64-linux");
    std::ofstream(scratch / "plain.txt") << "not a module";
    const std::vector<std::string> missing = {
        (scratch / "Absent.vst3").string(),
        (scratch / "Empty.vst3").string(),
        // A trailing separator leaves no bundle name to look for.
        testplugBundle("basic") + "/",
    };
    for (const std::string& path : missing) {
        SCOPED_TRACE(path);
        try {
            resolveModuleBinary(path);
            ADD_FAILURE() << "resolved";
        } catch (const std::runtime_error& failure) {
            EXPECT_STREQ(failure.what(), "VST3 module file does not exist.");
        }
    }
    // A regular file that is no bundle is loaded as it is: dlopen's own text tells why not.
    Vst3Effect effect;
    std::string error;
    EXPECT_FALSE(effect.open((scratch / "plain.txt").string(), 48000.0, 128, 2, error));
    EXPECT_EQ(error.rfind("Cannot load VST3 module (", 0), 0u) << error;
    EXPECT_NE(error.find("plain.txt"), std::string::npos) << error;
    EXPECT_EQ(error.back(), '.');
    fs::remove_all(scratch);
}

TEST(LoadedModule, SearchFoldersFollowHome) {
    const char* saved = std::getenv("HOME");
    const std::string home = saved != nullptr ? saved : "";
    ::setenv("HOME", "/home/stage", 1);
    EXPECT_EQ(vst3SearchFolders(),
              (std::vector<fs::path>{"/home/stage/.vst3", "/usr/lib/vst3", "/usr/local/lib/vst3"}));
    ::setenv("HOME", "", 1);
    EXPECT_EQ(vst3SearchFolders(), (std::vector<fs::path>{"/usr/lib/vst3", "/usr/local/lib/vst3"}));
    ::unsetenv("HOME");
    EXPECT_EQ(vst3SearchFolders().size(), 2u);
    if (saved != nullptr) {
        ::setenv("HOME", home.c_str(), 1);
    }
}

} // namespace
} // namespace kestravon::ruvi
