#pragma once
// A small console held by a headless Application: the documents the live controls edit and a
// graph of real plug-ins applied straight to the engine, with no device behind it.
//
// ch1 (mono, ZamComp "comp1", a disabled insert "fx-off") sits in DCA "dca1" at +4 dB and
// sends pre-fader to "aux1"; ch2 (stereo, ZamGateX2 "gate1") sends from its raw input to "aux1";
// "native-only" exists only in the native description, "ui-only" only in the UI document.

#include "app/application.h"
#include "app/application_impl.h"

#include "audio/endpoint_catalogue.h"
#include "audio/virtual_endpoints.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace kestravon::ruvi::livetest {

using Json = nlohmann::json;

inline Json liveNative() {
    return Json::parse(R"({
        "format": "kestravon-live-native-0.1",
        "sampleRate": 48000,
        "nodes": [
            {"id": "ch1", "kind": "input", "width": 1, "gainDb": -6,
             "inserts": [
                {"id": "comp1", "modulePath": "/usr/lib/vst3/ZamComp.vst3", "parameters": {}},
                {"id": "fx-off", "enabled": false, "modulePath": "/usr/lib/vst3/ZamComp.vst3"}],
             "routes": [{"destinationId": "main-lr"},
                        {"destinationId": "aux1", "tap": "preFader", "gainDb": 0}]},
            {"id": "ch2", "kind": "input", "width": 2,
             "inserts": [{"id": "gate1", "modulePath": "/usr/lib/vst3/ZamGateX2.vst3"}],
             "routes": [{"destinationId": "main-lr"},
                        {"destinationId": "aux1", "tap": "rawInput", "gainDb": -10}]},
            {"id": "native-only", "kind": "input", "width": 1,
             "routes": [{"destinationId": "main-lr"}]},
            {"id": "aux1", "kind": "bus", "width": 2, "routes": [{"destinationId": "main-lr"}]},
            {"id": "main-lr", "kind": "bus", "width": 2}
        ]})");
}

inline Json liveUi() {
    return Json::parse(R"({
        "schemaVersion": 2,
        "channels": [
            {"id": "ch1", "name": "Vox", "level": -10, "mute": false, "pan": 0,
             "inserts": [{"id": "comp1", "parameters": {}}, {"id": "fx-off", "parameters": {}}],
             "sends": [{"busId": "aux1", "level": 0, "pre": true}]},
            {"id": "ch2", "name": "Keys", "level": 0, "mute": false,
             "inserts": [{"id": "gate1", "parameters": {}}],
             "sends": [{"busId": "aux1", "level": -10, "pre": false, "connected": true}]},
            {"id": "ui-only", "level": 0}
        ],
        "aux": [{"id": "aux1", "level": 0}],
        "master": {"id": "main-lr", "level": 0},
        "dcas": [
            {"id": "dca1", "level": 4, "mute": false, "members": ["ch1"]},
            {"id": "dca-ghost", "level": 0, "mute": false, "members": ["ghost"]},
            {"id": "dca-ui", "level": 0, "mute": false, "members": ["ui-only"]}
        ]})");
}

inline std::unique_ptr<Application> headlessApplication() {
    auto set = std::make_shared<VirtualEndpointSet>();
    return std::make_unique<Application>(std::make_shared<EndpointCatalogue>(
        std::vector<std::shared_ptr<AudioEndpointProvider>>{set}));
}

// Holds both documents and compiles the native one, with no device layout.
inline void holdSession(Application& app, const Json& native, const Json& ui) {
    auto& impl = app.impl();
    BackendStatus layout;
    layout.sampleRate = 48000;
    std::string error;
    ASSERT_TRUE(impl.graph.applyGraph(native, layout, error)) << error;
    impl.nativeSession = native;
    impl.uiSession = ui;
}

inline Json call(Application& app, const std::string& method, const Json& params) {
    return app.handleRequest({{"id", 1}, {"method", method}, {"params", params}});
}

// What a refusal must leave alone.
struct Held {
    std::string native;
    std::string ui;
    std::string scenes;
    std::int64_t revision;
    bool operator==(const Held&) const = default;
};

inline Held held(Application& app) {
    auto& impl = app.impl();
    return {impl.nativeSession.dump(), impl.uiSession.dump(), impl.sceneStates.dump(),
            impl.revision};
}

} // namespace kestravon::ruvi::livetest
