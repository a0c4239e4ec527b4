#include "test_plugin_support.h"

#include <mutex>

namespace {

std::mutex traceMutex;
std::vector<std::string> traceLog;

} // namespace

// Found by the test plug-ins through the global scope (the binary exports its symbols).
extern "C" __attribute__((visibility("default"))) void ruviTestplugTrace(const char* event) {
    std::lock_guard lock(traceMutex);
    traceLog.emplace_back(event);
}

namespace kestravon::ruvi::testing {

std::string testplugBundle(const std::string& name) {
    return std::string(RUVI_TESTPLUG_DIR) + "/ruvi_testplug_" + name + ".vst3";
}

std::string testplugModule(const std::string& name) {
    return testplugBundle(name) + "/Contents/x86_64-linux/ruvi_testplug_" + name + ".so";
}

bool testplugLoaded(const std::string& name) {
    void* handle = ::dlopen(testplugModule(name).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    ::dlclose(handle);
    return true;
}

TestplugProbe* testplugProbe(const std::string& name) {
    auto probe = testplugSymbol<TestplugProbeFn>(name, "ruviTestplugProbe");
    return probe != nullptr ? probe() : nullptr;
}

std::vector<std::string> traceEvents() {
    std::lock_guard lock(traceMutex);
    return traceLog;
}

void clearTrace() {
    std::lock_guard lock(traceMutex);
    traceLog.clear();
}

} // namespace kestravon::ruvi::testing
