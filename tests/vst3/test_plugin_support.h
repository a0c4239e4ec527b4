#pragma once

#include "plugins/test_plugin_probe.h"

#include <dlfcn.h>

#include <string>
#include <vector>

namespace kestravon::ruvi::testing {

// The bundle folder and the module file of test plug-in ruvi_testplug_<name>.
std::string testplugBundle(const std::string& name);
std::string testplugModule(const std::string& name);

// Whether the module file is loaded in this process right now.
bool testplugLoaded(const std::string& name);

// A symbol of the loaded test plug-in (null when it is not loaded).
template <typename Fn> Fn testplugSymbol(const std::string& name, const char* symbol) {
    void* handle = ::dlopen(testplugModule(name).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return nullptr;
    }
    void* address = ::dlsym(handle, symbol);
    ::dlclose(handle); // the host's own reference keeps it loaded
    return reinterpret_cast<Fn>(address);
}

TestplugProbe* testplugProbe(const std::string& name);

// Module entry and exit events and factory releases that the test plug-ins reported.
std::vector<std::string> traceEvents();
void clearTrace();

} // namespace kestravon::ruvi::testing
