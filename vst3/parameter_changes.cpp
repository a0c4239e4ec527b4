#include "vst3/parameter_changes.h"

namespace kestravon::ruvi {
namespace {

using Steinberg::kResultOk;
using Steinberg::tresult;

// The host's stack-owned objects answer for their one interface and FUnknown, uncounted.
tresult answerOwnInterface(const Steinberg::TUID iid, const Steinberg::TUID own, void* self,
                           void** obj) {
    if (obj == nullptr) {
        return Steinberg::kInvalidArgument;
    }
    if (Steinberg::FUnknownPrivate::iidEqual(iid, own) ||
        Steinberg::FUnknownPrivate::iidEqual(iid, Steinberg::FUnknown::iid)) {
        *obj = self;
        return kResultOk;
    }
    *obj = nullptr;
    return Steinberg::kNoInterface;
}

} // namespace

tresult PLUGIN_API ValueQueue::queryInterface(const Steinberg::TUID iid, void** obj) {
    return answerOwnInterface(iid, sv::IParamValueQueue::iid, this, obj);
}

tresult PLUGIN_API ValueQueue::getPoint(Steinberg::int32 index, Steinberg::int32& sampleOffset,
                                        sv::ParamValue& point) {
    if (index != 0) {
        return Steinberg::kInvalidArgument;
    }
    sampleOffset = 0;
    point = value;
    return kResultOk;
}

tresult PLUGIN_API Changes::queryInterface(const Steinberg::TUID iid, void** obj) {
    return answerOwnInterface(iid, sv::IParameterChanges::iid, this, obj);
}

sv::IParamValueQueue* PLUGIN_API Changes::getParameterData(Steinberg::int32 index) {
    if (index < 0 || index >= count) {
        return nullptr;
    }
    return &queues[static_cast<std::size_t>(index)];
}

tresult PLUGIN_API OutputValueQueue::queryInterface(const Steinberg::TUID iid, void** obj) {
    return answerOwnInterface(iid, sv::IParamValueQueue::iid, this, obj);
}

tresult PLUGIN_API OutputValueQueue::getPoint(Steinberg::int32 index,
                                              Steinberg::int32& sampleOffset,
                                              sv::ParamValue& value) {
    if (index < 0 || index >= count) {
        return Steinberg::kInvalidArgument;
    }
    sampleOffset = points[static_cast<std::size_t>(index)].first;
    value = points[static_cast<std::size_t>(index)].second;
    return kResultOk;
}

tresult PLUGIN_API OutputValueQueue::addPoint(Steinberg::int32 sampleOffset, sv::ParamValue value,
                                              Steinberg::int32& index) {
    if (count < kMaxPoints) {
        ++count;
    }
    index = count - 1;
    points[static_cast<std::size_t>(index)] = {sampleOffset, value};
    return kResultOk;
}

tresult PLUGIN_API OutputChanges::queryInterface(const Steinberg::TUID iid, void** obj) {
    return answerOwnInterface(iid, sv::IParameterChanges::iid, this, obj);
}

sv::IParamValueQueue* PLUGIN_API OutputChanges::getParameterData(Steinberg::int32 index) {
    if (index < 0 || index >= count) {
        return nullptr;
    }
    return &queues[static_cast<std::size_t>(index)];
}

sv::IParamValueQueue* PLUGIN_API OutputChanges::addParameterData(const sv::ParamID& id,
                                                                 Steinberg::int32& index) {
    for (Steinberg::int32 i = 0; i < count; ++i) {
        if (queues[static_cast<std::size_t>(i)].id == id) {
            index = i;
            return &queues[static_cast<std::size_t>(i)];
        }
    }
    if (static_cast<std::size_t>(count) >= queues.size()) {
        index = -1;
        return nullptr;
    }
    index = count++;
    OutputValueQueue& queue = queues[static_cast<std::size_t>(index)];
    queue.id = id;
    queue.count = 0;
    return &queue;
}

} // namespace kestravon::ruvi
