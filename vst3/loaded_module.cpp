#include "vst3/loaded_module.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include <system_error>

namespace kestravon::ruvi {
namespace {

namespace fs = std::filesystem;

using ModuleEntryFn = bool (*)(void*);
using ModuleExitFn = bool (*)();
using GetFactoryFn = Steinberg::IPluginFactory* (*)();

constexpr Steinberg::int32 kMaxFactoryClasses = 4096;

// An absent path is no error here; anything else that stops the status query is.
fs::file_status statusOf(const fs::path& path) {
    std::error_code ec;
    fs::file_status status = fs::status(path, ec);
    if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory &&
        ec != std::errc::filename_too_long) {
        throw fs::filesystem_error("status", path, ec);
    }
    return status;
}

struct Registry {
    std::mutex mutex;
    // Canonical paths compared byte for byte: Linux file systems are case-sensitive.
    std::map<std::string, std::weak_ptr<LoadedModule>> modules;
};

Registry& registry() {
    static Registry* instance = new Registry; // outlives every static that may hold a module
    return *instance;
}

} // namespace

std::vector<fs::path> vst3SearchFolders() {
    std::vector<fs::path> folders;
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        folders.push_back(fs::path(home) / ".vst3");
    }
    folders.emplace_back("/usr/lib/vst3");
    folders.emplace_back("/usr/local/lib/vst3");
    return folders;
}

fs::path resolveModuleBinary(const fs::path& path) {
    fs::path file = path;
    if (fs::is_directory(statusOf(file))) {
        fs::path bundleName = file.filename();
        file = file / "Contents" / "x86_64-linux" / bundleName;
        file.replace_extension(".so");
        if (bundleName.empty()) {
            // A trailing separator leaves no bundle name: the folder itself is not a module.
            file = path / "Contents" / "x86_64-linux";
        }
    }
    if (!fs::is_regular_file(statusOf(file))) {
        throw std::runtime_error("VST3 module file does not exist.");
    }
    std::error_code ec;
    fs::path canonical = fs::weakly_canonical(file, ec);
    if (ec) {
        throw fs::filesystem_error("weakly_canonical", file, ec);
    }
    return canonical;
}

LoadedModule::LoadedModule(const fs::path& path) {
    const fs::path file = resolveModuleBinary(path);
    module_ = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_ == nullptr) {
        const char* text = ::dlerror();
        throw std::runtime_error(std::string("Cannot load VST3 module (") +
                                 (text != nullptr ? text : "unknown error") + ").");
    }
    try {
        auto entry = reinterpret_cast<ModuleEntryFn>(::dlsym(module_, "ModuleEntry"));
        moduleExit_ = reinterpret_cast<ModuleExitFn>(::dlsym(module_, "ModuleExit"));
        if (entry != nullptr && !entry(module_)) {
            throw std::runtime_error("VST3 module initialization failed.");
        }
        initialized_ = true;
        auto getFactory = reinterpret_cast<GetFactoryFn>(::dlsym(module_, "GetPluginFactory"));
        factory_ = getFactory != nullptr ? getFactory() : nullptr;
        if (factory_ == nullptr) {
            throw std::runtime_error("VST3 factory is missing.");
        }
        const Steinberg::int32 count = factory_->countClasses();
        if (count < 1 || count > kMaxFactoryClasses) {
            throw std::runtime_error("Invalid VST3 factory class count.");
        }
        bool found = false;
        for (Steinberg::int32 index = 0; index < count && !found; ++index) {
            Steinberg::PClassInfo info{};
            if (factory_->getClassInfo(index, &info) != Steinberg::kResultOk) {
                continue;
            }
            if (std::strncmp(info.category, kVstAudioEffectClass,
                             Steinberg::PClassInfo::kCategorySize) == 0) {
                std::memcpy(classId_, info.cid, sizeof(classId_));
                found = true;
            }
        }
        if (!found) {
            throw std::runtime_error("No VST3 audio-effect class found.");
        }
    } catch (...) {
        unload();
        throw;
    }
}

LoadedModule::~LoadedModule() {
    unload();
}

void LoadedModule::unload() noexcept {
    // Every interface of the module must be gone before ModuleExit and dlclose.
    if (factory_ != nullptr) {
        factory_->release();
        factory_ = nullptr;
    }
    if (initialized_ && moduleExit_ != nullptr) {
        moduleExit_();
    }
    initialized_ = false;
    moduleExit_ = nullptr;
    if (module_ != nullptr) {
        ::dlclose(module_);
        module_ = nullptr;
    }
}

std::shared_ptr<LoadedModule> acquireModule(const fs::path& modulePath) {
    const std::string key = resolveModuleBinary(modulePath).string();
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    for (auto it = reg.modules.begin(); it != reg.modules.end();) {
        it = it->second.expired() ? reg.modules.erase(it) : std::next(it);
    }
    if (auto found = reg.modules.find(key); found != reg.modules.end()) {
        if (auto live = found->second.lock()) {
            return live;
        }
    }
    auto module = std::make_shared<LoadedModule>(key);
    reg.modules[key] = module;
    return module;
}

} // namespace kestravon::ruvi
