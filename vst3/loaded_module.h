#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "pluginterfaces/base/ipluginbase.h"

namespace kestravon::ruvi {

// One loaded VST3 module file, shared by every instance made from it.
//
// Thread contract: made only through acquireModule (any thread, serialised by the registry
// mutex). The last shared reference unloads the module on the thread that drops it, without a
// lock. Instances call the factory only from the UI thread.
class LoadedModule {
public:
    explicit LoadedModule(const std::filesystem::path& path);
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    Steinberg::IPluginFactory* factory() const noexcept { return factory_; }
    const Steinberg::TUID& classId() const noexcept { return classId_; }

private:
    void unload() noexcept;

    void* module_ = nullptr;
    Steinberg::IPluginFactory* factory_ = nullptr;
    bool (*moduleExit_)() = nullptr;
    bool initialized_ = false;
    Steinberg::TUID classId_{};
};

// The standard folders that hold VST3 modules, in search order (not checked for existence).
std::vector<std::filesystem::path> vst3SearchFolders();

// A ".vst3" bundle folder becomes its x86_64-linux module file; a regular file stays as it is.
// Throws "VST3 module file does not exist." or a file-system error.
std::filesystem::path resolveModuleBinary(const std::filesystem::path& path);

// The live module for that path, loading it when no instance holds it.
std::shared_ptr<LoadedModule> acquireModule(const std::filesystem::path& modulePath);

} // namespace kestravon::ruvi
