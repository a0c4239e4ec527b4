#include "audio/wasapi_backend.h"

#include <gtest/gtest.h>

#include "audio/backend_impl.h"
#include "backend_test_support.h"
#include "tests/support/tone_analysis.h"

namespace kestravon::ruvi {
namespace {

using testing::catalogueOf;
using testing::config;
using testing::endpoint;
using testing::eventually;
using testing::Probe;
using testing::probeCallback;
using testing::runFor;
using testing::streamOf;

const std::string kUmc = "BEHRINGER UMC 404HD 192k";

// A catalogue covering every start check.
std::shared_ptr<VirtualEndpointSet> refusalSet() {
    auto set = std::make_shared<VirtualEndpointSet>();
    set->add(endpoint("main", DataFlow::render, makeWaveFormat(true, 2, 48000, 32), "Main Out"));
    set->add(endpoint("desk", DataFlow::render, makeWaveFormat(true, 2, 44100, 32), "Desk 44k"));
    set->add(
        endpoint("old", DataFlow::render, makeWaveFormat(false, 2, 48000, 8, 0, false), "Old Out"));
    set->add(endpoint("mic", DataFlow::capture));
    set->add(endpoint("umc-in12", DataFlow::capture, makeWaveFormat(false, 2, 48000, 32, 24),
                      "IN 1-2 (" + kUmc + ")"));
    set->add(endpoint("umc-in14", DataFlow::capture, makeWaveFormat(false, 4, 48000, 32, 24),
                      "IN 1-4 (" + kUmc + ")"));
    set->add(endpoint("umc2-in12", DataFlow::capture, makeWaveFormat(false, 2, 48000, 32, 24),
                      "IN 1-2 (2- " + kUmc + ")"));
    set->add(endpoint("umc-out12", DataFlow::render, makeWaveFormat(false, 2, 48000, 32, 24),
                      "OUT 1-2 (" + kUmc + ")"));
    set->add(endpoint("umc-out34", DataFlow::render, makeWaveFormat(false, 2, 48000, 32, 24),
                      "OUT 3-4 (" + kUmc + ")"));
    return set;
}

TEST(WasapiBackend, StartRefusalsBeforeAnyThreadStarts) {
    auto set = refusalSet();
    WasapiBackend backend(catalogueOf(set));
    const std::string invalid = "Invalid callback/device/rate/block configuration.";
    const std::string badId = "Empty, invalid or duplicated endpoint ID.";
    const std::string master = "Master must be an explicitly selected render endpoint.";
    const std::string absent =
        "Selected endpoint absent from current device catalogue or wrong direction: ";
    const std::string umc = "Select only one input endpoint per physical UMC404HD label; IN/OUT "
                            "1-4 overlaps the 1-2 and 3-4 aliases: ";

    AudioDeviceConfig many = config({}, {"virtual:main"});
    for (int i = 0; i < 63; ++i) {
        many.inputs.push_back({"virtual:none-" + std::to_string(i), false});
    }
    AudioDeviceConfig tooMany = many;
    tooMany.inputs.push_back({"virtual:none-63", false});
    AudioDeviceConfig exclusiveDesk = config({}, {"virtual:desk"});
    exclusiveDesk.outputs[0].exclusive = true;

    struct Case {
        const char* what;
        AudioDeviceConfig config;
        std::string error;
        bool nullCallback = false;
    };
    const std::vector<Case> cases = {
        {"no outputs", config({"virtual:mic"}, {}), invalid},
        {"null callback", config({}, {"virtual:main"}), invalid, true},
        {"rate too low", config({}, {"virtual:main"}, "", 7999), invalid},
        {"rate too high", config({}, {"virtual:main"}, "", 192001), invalid},
        {"block too small", config({}, {"virtual:main"}, "", 48000, 15), invalid},
        {"block too large", config({}, {"virtual:main"}, "", 48000, 4097), invalid},
        {"65 selections", tooMany, invalid},
        {"64 selections pass the count", many, absent + "virtual:none-0"},
        {"empty id", config({""}, {"virtual:main"}), badId},
        {"invalid UTF-8 id", config({"virtual:\xFF"}, {"virtual:main"}), badId},
        {"same id in and out", config({"virtual:main"}, {"virtual:main"}), badId},
        {"duplicate output", config({}, {"virtual:main", "virtual:main"}), badId},
        {"master names an input", config({"virtual:mic"}, {"virtual:main"}, "virtual:mic"), master},
        {"master not selected", config({}, {"virtual:main"}, "virtual:desk"), master},
        {"absent input", config({"virtual:nope"}, {"virtual:main"}), absent + "virtual:nope"},
        {"output used as input", config({"virtual:desk"}, {"virtual:main"}),
         absent + "virtual:desk"},
        {"two labels of one unit",
         config({"virtual:umc-in12", "virtual:mic", "virtual:umc-in14"}, {"virtual:main"}),
         umc + "IN 1-4 (" + kUmc + ")"},
        {"two output labels of one unit",
         config({}, {"virtual:main", "virtual:umc-out12", "virtual:umc-out34"}),
         "Select only one output endpoint per physical UMC404HD label; IN/OUT 1-4 overlaps the "
         "1-2 and 3-4 aliases: OUT 3-4 (" +
             kUmc + ")"},
        {"unavailable master", config({}, {"virtual:main", "virtual:old"}, "virtual:old"),
         "The selected clock output is unavailable. Refresh devices and choose an available "
         "output."},
        {"shared master at another rate", config({}, {"virtual:desk"}),
         "Audio output \"Desk 44k\" uses 44100 Hz in shared mode, but RUVI requests 48000 Hz. "
         "Choose Automatic sample rate or match RUVI to 44100 Hz in Advanced setup."},
    };
    Probe probe;
    for (const Case& c : cases) {
        std::string error = "stale";
        EXPECT_FALSE(
            backend.start(c.config, c.nullCallback ? nullptr : probeCallback, &probe, error))
            << c.what;
        EXPECT_EQ(error, c.error) << c.what;
    }
    const BackendStatus idle = backend.status();
    EXPECT_FALSE(idle.running);
    EXPECT_EQ(idle.sampleRate, 0);
    EXPECT_EQ(idle.blockFrames, 0);
    EXPECT_TRUE(idle.streams.empty());
    EXPECT_EQ(idle.error, "") << "refusals before the streams are only returned";
    EXPECT_EQ(probe.calls.load(), 0);
}

TEST(WasapiBackend, PrepareFailureMessages) {
    std::vector<std::unique_ptr<EndpointStream>> streams;
    for (const bool capture : {true, false}) {
        auto s = EndpointStream::create();
        s->id = capture ? "virtual:in" : "virtual:out";
        s->capture = capture;
        streams.push_back(std::move(s));
    }
    const std::vector<std::string> names = {"Catalogue In", ""};
    EXPECT_EQ(prepareFailureMessage(streams, names, 1, true),
              "Timed out waiting for audio output \"virtual:out\" to prepare (HRESULT "
              "0x800705b4).");
    EXPECT_EQ(prepareFailureMessage(streams, names, 0, false),
              "Audio setup was cancelled while preparing audio input \"Catalogue In\" (HRESULT "
              "0x800704c7).");
    streams[0]->name = "Thread In";
    streams[1]->faultHresult.store(AUDCLNT_E_DEVICE_IN_USE);
    EXPECT_EQ(prepareFailureMessage(streams, names, 0, true),
              "Could not prepare audio output \"virtual:out\" (HRESULT 0x8889000a).");
    streams[0]->faultHresult.store(E_INVALIDARG);
    EXPECT_EQ(prepareFailureMessage(streams, names, 1, false),
              "Could not prepare audio input \"Thread In\" (HRESULT 0x80070057).")
        << "the first faulted stream is named";
}

TEST(WasapiBackendThreading, PreparationFaultsAreReportedAndKeptInStatus) {
    struct Case {
        const char* what;
        VirtualEndpointSetup input;
        VirtualEndpointSetup output;
        bool exclusiveMaster;
        std::string error;
    };
    auto in = endpoint("in", DataFlow::capture, makeWaveFormat(true, 2, 48000, 32), "Stage In");
    auto out = endpoint("out", DataFlow::render, makeWaveFormat(true, 2, 48000, 32), "Stage Out");
    std::vector<Case> cases;
    {
        Case c{"activation refused", in, out, false, ""};
        c.input.activateError = hresult(0x80070005u);
        c.error = "Could not prepare audio input \"Stage In\" (HRESULT 0x80070005).";
        cases.push_back(c);
    }
    {
        Case c{"buffer of 4097 frames", in, out, false, ""};
        c.output.sharedBufferFrames = 4097;
        c.output.lowLatencyShared = false;
        c.error = "Could not prepare audio output \"Stage Out\" (HRESULT 0x80070057).";
        cases.push_back(c);
    }
    {
        Case c{"refused shared format", in, out, false, ""};
        c.input.refuseFormats = true;
        c.error = "Could not prepare audio input \"Stage In\" (HRESULT 0x88890008).";
        cases.push_back(c);
    }
    {
        Case c{"exclusive master refuses the session rate", in, out, true, ""};
        c.output.mixFormat = makeWaveFormat(true, 2, 44100, 32);
        c.output.exclusiveRates = {44100};
        c.error = "Could not prepare audio output \"Stage Out\" (HRESULT 0x88890008).";
        cases.push_back(c);
    }
    {
        Case c{"exclusive master already in use", in, out, true, ""};
        c.error = "Could not prepare audio output \"Stage Out\" (HRESULT 0x8889000a).";
        cases.push_back(c);
    }
    for (Case& c : cases) {
        auto set = std::make_shared<VirtualEndpointSet>();
        set->add(c.input);
        auto device = set->add(c.output);
        std::unique_ptr<AudioEndpointClient> holder;
        if (std::string(c.what) == "exclusive master already in use") {
            ASSERT_EQ(device->activate(holder), S_OK);
            ASSERT_EQ(holder->initialize(ShareMode::exclusive, 26667, 26667, c.output.mixFormat),
                      S_OK);
        }
        WasapiBackend backend(catalogueOf(set));
        AudioDeviceConfig cfg = config({"virtual:in"}, {"virtual:out"});
        cfg.outputs[0].exclusive = c.exclusiveMaster;
        Probe probe;
        std::string error;
        EXPECT_FALSE(backend.start(cfg, probeCallback, &probe, error)) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
        const BackendStatus status = backend.status();
        EXPECT_FALSE(status.running) << c.what;
        EXPECT_EQ(status.error, c.error) << c.what << ": kept until the next start";
        EXPECT_EQ(status.streams.size(), 2u) << c.what;
        EXPECT_EQ(status.sampleRate, 48000) << c.what;
        EXPECT_EQ(probe.calls.load(), 0) << c.what;
    }
}

TEST(WasapiBackendThreading, BufferOfExactly4096FramesRuns) {
    auto set = std::make_shared<VirtualEndpointSet>();
    auto out = endpoint("out", DataFlow::render);
    out.sharedBufferFrames = 4096;
    out.lowLatencyShared = false;
    set->add(out);
    WasapiBackend backend(catalogueOf(set));
    Probe probe;
    std::string error;
    ASSERT_TRUE(backend.start(config({}, {"virtual:out"}), probeCallback, &probe, error)) << error;
    ASSERT_TRUE(eventually([&] { return probe.calls.load() > 10; }));
    const BackendStatus s = backend.status();
    EXPECT_EQ(s.streams[0].bufferFrames, 4096);
    EXPECT_EQ(s.streams[0].periodFrames, 480);
    EXPECT_FALSE(s.streams[0].lowLatencyShared);
    EXPECT_EQ(probe.inputCount.load(), 0) << "no capture endpoints: the callback still runs";
    EXPECT_EQ(probe.maxFrames.load(), 128);
}

TEST(WasapiBackendSlow, EndpointThatNeverPreparesTimesOut) {
    auto set = std::make_shared<VirtualEndpointSet>();
    set->add(endpoint("out", DataFlow::render, makeWaveFormat(true, 2, 48000, 32), "Fast Out"));
    auto slow = endpoint("slow", DataFlow::render, makeWaveFormat(true, 2, 48000, 32), "Slow Out");
    slow.lowLatencyShared = false;
    slow.initializeDelayMs = 10500;
    set->add(slow);
    WasapiBackend backend(catalogueOf(set));
    Probe probe;
    std::string error;
    EXPECT_FALSE(
        backend.start(config({}, {"virtual:out", "virtual:slow"}), probeCallback, &probe, error));
    EXPECT_EQ(error, "Timed out waiting for audio output \"Slow Out\" to prepare (HRESULT "
                     "0x800705b4).");
    const BackendStatus s = backend.status();
    EXPECT_EQ(s.error, error);
    EXPECT_EQ(streamOf(s, "virtual:out")->status, "stopped");
}

} // namespace
} // namespace kestravon::ruvi
