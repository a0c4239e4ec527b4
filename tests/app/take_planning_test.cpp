// Planning a take from a "startRecording" request against the applied session and the device.

#include "app/take_planning.h"

#include "app/application_impl.h"
#include "audio/endpoint_catalogue.h"
#include "audio/virtual_endpoints.h"
#include "media/raw_recorder.h"
#include "tests/support/recorder_test_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using testing::TakeTempDir;
using testing::TestSignalSource;

std::unique_ptr<Application> headlessApplication() {
    return std::make_unique<Application>(
        std::make_shared<EndpointCatalogue>(std::vector<std::shared_ptr<AudioEndpointProvider>>{
            std::make_shared<VirtualEndpointSet>()}));
}

EndpointStatus endpoint(const std::string& id, bool capture, int firstChannel, int channels) {
    EndpointStatus s;
    s.id = id;
    s.name = id;
    s.status = "running";
    s.capture = capture;
    s.firstChannel = firstChannel;
    s.channels = channels;
    s.sampleRate = 48000;
    return s;
}

// A running device of two capture endpoints (lanes 0-1 and 2-5) and one output.
BackendStatus runningDevice() {
    BackendStatus status;
    status.running = true;
    status.sampleRate = 48000;
    status.blockFrames = 128;
    status.inputChannels = 6;
    status.outputChannels = 2;
    status.streams = {endpoint("virtual:out", false, 0, 2), endpoint("virtual:in-a", true, 0, 2),
                      endpoint("virtual:in-b", true, 2, 4)};
    return status;
}

Json port(const char* deviceId, int channel) {
    return {{"deviceId", deviceId}, {"channel", channel}};
}

Json inputNode(const char* id, int width, Json ports) {
    return {{"id", id},
            {"kind", "input"},
            {"width", width},
            {"source", {{"kind", "device"}, {"ports", std::move(ports)}}}};
}

Json appliedSession() {
    Json overheads = inputNode("ovh", 2, {port("virtual:in-b", 1), port("virtual:in-b", 2)});
    overheads["name"] = "Overheads";
    return {{"format", "kestravon-live-native-0.1"},
            {"nodes",
             {inputNode("kick", 1, {port("virtual:in-a", 0)}),
              overheads,
              {{"id", "bus1"}, {"kind", "bus"}, {"width", 2}},
              {{"id", "lane1"},
               {"kind", "input"},
               {"source", {{"kind", "file"}, {"fileId", "a"}, {"channels", {0}}}}},
              inputNode("ghost", 1, {port("virtual:unplugged", 0)}),
              inputNode("edge", 1, {port("virtual:in-a", 2)}),
              inputNode("narrow", 1, {port("virtual:in-a", 0), port("virtual:in-a", 1)}),
              inputNode("kick.in", 1, {port("virtual:in-a", 1)}),
              {{"id", "main-lr"}, {"kind", "bus"}, {"width", 2}}}}};
}

Json armedUi(const std::string& directory) {
    return {{"recorder", {{"directory", directory}}},
            {"channels",
             {{{"id", "kick"}, {"arm", true}},
              {{"id", "ovh"}, {"arm", true}},
              {{"id", "bus1"}, {"arm", false}},
              "not an entry"}}};
}

std::string refusal(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no refusal)";
}

class TakePlanning : public ::testing::Test {
protected:
    TakePlanning() { app_->impl().nativeSession = appliedSession(); }
    Json request(Json nodeIds) const {
        return {{"nodeIds", std::move(nodeIds)}, {"directory", dir_.path()}};
    }
    RecorderTakeConfig plan(const Json& params) {
        return planRecordingTake(app_->impl(), params, runningDevice());
    }
    TakeTempDir dir_;
    std::unique_ptr<Application> app_ = headlessApplication();
};

TEST_F(TakePlanning, PlansOneTrackPerArmedStripWithItsDeviceLanes) {
    const RecorderTakeConfig take = plan(request({"ovh", "kick"}));
    ASSERT_EQ(take.tracks.size(), 2u);
    EXPECT_EQ(take.tracks[0].id, "ovh");
    EXPECT_EQ(take.tracks[0].name, "Overheads");
    // Both ports on one endpoint: one two-lane track, at that endpoint's first aggregate lane.
    EXPECT_EQ(take.tracks[0].sourceLanes, (std::vector<std::uint32_t>{3, 4}));
    EXPECT_EQ(take.tracks[1].id, "kick");
    EXPECT_EQ(take.tracks[1].name, "kick");
    EXPECT_EQ(take.tracks[1].sourceLanes, (std::vector<std::uint32_t>{0}));
    EXPECT_EQ(take.sampleRate, 48000u);
    EXPECT_EQ(take.blockFrames, 128u); // the device's block, not the largest one
    EXPECT_EQ(take.queueSlots, 3750u); // ten seconds of them
    EXPECT_EQ(take.retainedQueueBytes, 0u);
    EXPECT_EQ(take.tap, kRecorderTap);
    // <folder>/Take-YYYYMMDD-HHMMSS-mmm-<pid>
    const std::string prefix = dir_.path() + "/Take-";
    const std::string suffix = "-" + std::to_string(::getpid());
    ASSERT_TRUE(take.directory.starts_with(prefix) && take.directory.ends_with(suffix))
        << take.directory;
    const std::string stamp =
        take.directory.substr(prefix.size(), take.directory.size() - prefix.size() - suffix.size());
    ASSERT_EQ(stamp.size(), 19u) << stamp;
    for (std::size_t i = 0; i < stamp.size(); ++i) {
        EXPECT_TRUE(i == 8 || i == 15 ? stamp[i] == '-' : std::isdigit(stamp[i]) != 0) << stamp;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path())); // planning creates nothing
}

TEST_F(TakePlanning, RefusesWhatCannotBeRecorded) {
    using Edit = std::function<void(Json & params, Json & ui)>;
    const std::string distinct = "Arm distinct input tracks before recording";
    const std::string localFolder = "Set the recording folder on the local computer first";
    const std::string sharedArmed = "Remote recording must use the shared armed tracks";
    const auto remote = [](Json& params, Json& ui, Json nodeIds, const std::string& folder) {
        params["_remote"] = true;
        params["nodeIds"] = std::move(nodeIds);
        ui = armedUi(folder);
    };
    std::vector<Json> ids129;
    for (int i = 0; i < 129; ++i) {
        ids129.push_back("k" + std::to_string(i));
    }
    const struct {
        const char* label;
        Edit edit;
        std::string message;
    } cases[] = {
        {"another tap", [](Json& p, Json&) { p["tap"] = "postFader"; },
         "This build records raw physical inputs only, before trim, effects and faders"},
        {"main included", [](Json& p, Json&) { p["includeMain"] = true; },
         "This build records raw physical inputs only, before trim, effects and faders"},
        {"repeated id",
         [](Json& p, Json&) {
             p["nodeIds"] = {"kick", "ovh", "kick"};
         },
         distinct},
        {"129 ids", [&](Json& p, Json&) { p["nodeIds"] = ids129; }, distinct},
        {"no ids", [](Json& p, Json&) { p["nodeIds"] = Json::array(); }, distinct},
        {"remote without a shared document", [](Json& p, Json&) { p["_remote"] = true; },
         localFolder},
        {"remote into another folder",
         [&](Json& p, Json& ui) {
             remote(p, ui, {"kick", "ovh"}, "/elsewhere");
         },
         localFolder},
        {"remote with an unarmed strip",
         [&](Json& p, Json& ui) {
             remote(p, ui, {"kick", "ovh", "edge"}, dir_.path());
         },
         sharedArmed},
        {"remote missing an armed strip",
         [&](Json& p, Json& ui) { remote(p, ui, {"kick"}, dir_.path()); }, sharedArmed},
        {"a bus",
         [](Json& p, Json&) {
             p["nodeIds"] = {"kick", "bus1"};
         },
         "Raw recording requires a physical input source"},
        {"a file lane", [](Json& p, Json&) { p["nodeIds"] = {"lane1"}; },
         "Raw recording requires a physical input source"},
        {"an endpoint not running", [](Json& p, Json&) { p["nodeIds"] = {"ghost"}; },
         "Recording endpoint is not active"},
        {"a channel at the endpoint's count", [](Json& p, Json&) { p["nodeIds"] = {"edge"}; },
         "Recording lane outside active endpoint"},
        {"two lanes on a mono strip", [](Json& p, Json&) { p["nodeIds"] = {"narrow"}; },
         "Recording stereo layout mismatch"},
        {"a strip not applied",
         [](Json& p, Json&) {
             p["nodeIds"] = {"kick", "snare"};
         },
         "Armed recording track not in applied session"},
        {"a node id the recorder cannot name a file after",
         [](Json& p, Json&) { p["nodeIds"] = {"kick.in"}; },
         "Invalid recorder track ID/width/name"},
        {"a relative folder", [](Json& p, Json&) { p["directory"] = "takes"; },
         "Choose an absolute local path"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Json params = request({"kick", "ovh"});
        Json ui;
        c.edit(params, ui);
        app_->impl().uiSession = ui;
        EXPECT_EQ(refusal([&] { (void)plan(params); }), c.message);
    }
    // The library's own errors for a request of the wrong shape.
    EXPECT_THROW((void)plan({{"directory", dir_.path()}}), Json::out_of_range);
    EXPECT_THROW((void)plan({{"nodeIds", "kick"}, {"directory", dir_.path()}}), Json::type_error);
    EXPECT_THROW((void)plan({{"nodeIds", {"kick", 3}}, {"directory", dir_.path()}}),
                 Json::type_error);
    Json noFolder = request({"kick"});
    noFolder.erase("directory");
    EXPECT_THROW((void)plan(noFolder), Json::out_of_range);
}

TEST_F(TakePlanning, ARemoteTakeOfTheSharedArmedStripsPassesInAnyOrder) {
    app_->impl().uiSession = armedUi(dir_.path());
    Json params = request({"ovh", "kick"});
    params["_remote"] = true;
    EXPECT_EQ(plan(params).tracks.size(), 2u);
}

TEST(TakeFolderName, IsTheUtcTimeToTheMillisecondAndTheProcess) {
    EXPECT_EQ(takeFolderName(0, 0, 1), "Take-19700101-000000-000-1");
    EXPECT_EQ(takeFolderName(1765377045, 7, 4242), "Take-20251210-143045-007-4242");
    EXPECT_EQ(takeFolderName(951782400, 999, 4294967295ul), "Take-20000229-000000-999-4294967295");
}

// After a take of 200 lanes (366 MiB of ring) the next one still gets its full ten seconds:
// the finished take's ring is not held against the budget.
TEST(TakePlanningQueue, TwoLargeTakesInARowBothStartWithTheWholeRing) {
    auto app = headlessApplication();
    Application::Impl& impl = app->impl();
    BackendStatus status = runningDevice();
    status.inputChannels = 200;
    status.streams = {endpoint("virtual:wide", true, 0, 200)};
    Json nodes = Json::array();
    Json ids = Json::array();
    for (int i = 0; i < 100; ++i) {
        const std::string id = "s" + std::to_string(i);
        nodes.push_back(inputNode(id.c_str(), 2,
                                  {port("virtual:wide", 2 * i), port("virtual:wide", 2 * i + 1)}));
        ids.push_back(id);
    }
    impl.nativeSession = {{"nodes", nodes}};
    TakeTempDir dir;
    TestSignalSource source(200, 128);
    for (int take = 0; take < 2; ++take) {
        SCOPED_TRACE(take);
        const Json params = {{"nodeIds", ids}, {"directory", dir.path()}};
        RecorderTakeConfig config = planRecordingTake(impl, params, status);
        EXPECT_EQ(config.retainedQueueBytes, 0u);
        EXPECT_EQ(config.queueSlots, 3750u);
        config.directory = dir / ("Take-" + std::to_string(take));
        RawRecorder prepared = RawRecorder::prepareTake(config);
        ASSERT_TRUE(impl.recorder.installPrepared(prepared));
        EXPECT_EQ(impl.recorder.status().queueBytes, 3750u * 128u * 200u * 4u);
        EXPECT_TRUE(impl.recorder.pushBlock(source.next(128), 200, 128));
        impl.recorder.requestStop();
        impl.recorder.stopWriter();
        EXPECT_EQ(impl.recorder.status().state, RecorderState::Complete);
        EXPECT_EQ(impl.recorder.status().queueBytes, 0u);
    }
}

} // namespace
} // namespace kestravon::ruvi
