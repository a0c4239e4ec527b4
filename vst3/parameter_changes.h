#pragma once

// The parameter changes handed to the plug-in with each block (one point per parameter at
// offset 0) and the ones it hands back. Owned by one instance; none is reference counted.

#include "pluginterfaces/vst/ivstparameterchanges.h"

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace kestravon::ruvi {

namespace sv = Steinberg::Vst;

constexpr std::int32_t kMaxParameters = 4096;

// One parameter point at offset 0; owned by the instance, never reference counted.
class ValueQueue final : public sv::IParamValueQueue {
public:
    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
    Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
    Steinberg::uint32 PLUGIN_API release() override { return 1; }
    sv::ParamID PLUGIN_API getParameterId() override { return id; }
    Steinberg::int32 PLUGIN_API getPointCount() override { return 1; }
    Steinberg::tresult PLUGIN_API getPoint(Steinberg::int32 index, Steinberg::int32& sampleOffset,
                                           sv::ParamValue& value) override;
    Steinberg::tresult PLUGIN_API addPoint(Steinberg::int32, sv::ParamValue,
                                           Steinberg::int32&) override {
        return Steinberg::kNotImplemented;
    }

    sv::ParamID id = 0;
    double value = 0.0;
};

// The input parameter changes of one block; filled by the audio thread only.
class Changes final : public sv::IParameterChanges {
public:
    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
    Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
    Steinberg::uint32 PLUGIN_API release() override { return 1; }
    Steinberg::int32 PLUGIN_API getParameterCount() override { return count; }
    sv::IParamValueQueue* PLUGIN_API getParameterData(Steinberg::int32 index) override;
    sv::IParamValueQueue* PLUGIN_API addParameterData(const sv::ParamID&,
                                                      Steinberg::int32& index) override {
        index = -1;
        return nullptr;
    }

    std::array<ValueQueue, kMaxParameters> queues;
    Steinberg::int32 count = 0;
};

// The points one parameter was given by the plug-in during a block; the last one is overwritten
// once the queue is full.
class OutputValueQueue final : public sv::IParamValueQueue {
public:
    static constexpr Steinberg::int32 kMaxPoints = 4;

    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
    Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
    Steinberg::uint32 PLUGIN_API release() override { return 1; }
    sv::ParamID PLUGIN_API getParameterId() override { return id; }
    Steinberg::int32 PLUGIN_API getPointCount() override { return count; }
    Steinberg::tresult PLUGIN_API getPoint(Steinberg::int32 index, Steinberg::int32& sampleOffset,
                                           sv::ParamValue& value) override;
    Steinberg::tresult PLUGIN_API addPoint(Steinberg::int32 sampleOffset, sv::ParamValue value,
                                           Steinberg::int32& index) override;

    sv::ParamID id = 0;
    Steinberg::int32 count = 0;
    std::array<std::pair<Steinberg::int32, sv::ParamValue>, kMaxPoints> points{};
};

// What the plug-in reports back during a block. Plug-ins expect somewhere to write, and some
// complain on every block without one, but their values reach the host through performEdit,
// so the contents are never read. Sized at configuration; cleared before each block.
class OutputChanges final : public sv::IParameterChanges {
public:
    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
    Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
    Steinberg::uint32 PLUGIN_API release() override { return 1; }
    Steinberg::int32 PLUGIN_API getParameterCount() override { return count; }
    sv::IParamValueQueue* PLUGIN_API getParameterData(Steinberg::int32 index) override;
    sv::IParamValueQueue* PLUGIN_API addParameterData(const sv::ParamID& id,
                                                      Steinberg::int32& index) override;

    void clear() noexcept { count = 0; }

    std::vector<OutputValueQueue> queues;
    Steinberg::int32 count = 0;
};

} // namespace kestravon::ruvi
