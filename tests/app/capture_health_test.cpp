// Capture-health records of a take and the two forms of capture-health.json.

#include "app/capture_health.h"

#include "app/application_impl.h"
#include "audio/endpoint_catalogue.h"
#include "audio/virtual_endpoints.h"
#include "tests/support/recorder_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using testing::ReadOnlyFolder;
using testing::readWholeFile;
using testing::TakeTempDir;

std::unique_ptr<Application> headlessApplication() {
    return std::make_unique<Application>(
        std::make_shared<EndpointCatalogue>(std::vector<std::shared_ptr<AudioEndpointProvider>>{
            std::make_shared<VirtualEndpointSet>()}));
}

// Counters of one capture and one render endpoint; only the capture side counts for a take.
BackendStatus device(std::int64_t captureMissing, std::int64_t renderMissing, std::int64_t xruns,
                     std::int64_t overruns) {
    BackendStatus status;
    status.running = true;
    status.sampleRate = 48000;
    status.blockFrames = 128;
    status.xruns = xruns;
    status.renderDeadlineOverruns = overruns;
    EndpointStatus in;
    in.id = "virtual:in";
    in.name = "Stage box";
    in.status = "running";
    in.capture = true;
    in.channels = 2;
    in.sampleRate = 48000;
    in.missingFrames = captureMissing;
    in.discontinuities = 2;
    in.startupMissingFrames = 64;
    in.queueMilliseconds = 2.5;
    in.correctionPpm = -12.25;
    EndpointStatus out = in;
    out.id = "virtual:out";
    out.name = "Mains";
    out.capture = false;
    out.missingFrames = renderMissing;
    out.discontinuities = 9;
    out.startupMissingFrames = 7;
    status.streams = {out, in};
    return status;
}

TEST(CaptureHealth, StartRecordSumsTheCaptureEndpointsOnly) {
    const Json native = {{"format", "kestravon-live-native-0.1"}};
    EXPECT_EQ(makeCaptureHealthStart(device(5, 100, 3, 4), {"kick", "ovh"}, native),
              Json::parse(R"({"xruns": 3, "renderDeadlineOverruns": 4, "sampleRate": 48000,
                  "missingFrames": 5, "discontinuities": 2, "startupMissingFrames": 64,
                  "tracks": ["kick", "ovh"],
                  "nativeSession": {"format": "kestravon-live-native-0.1"}})"));
}

TEST(CaptureHealth, EndRecordListsEveryStreamAndTheTakeDeltas) {
    auto app = headlessApplication();
    app->impl().takeBaseline = makeCaptureHealthStart(device(5, 0, 3, 4), {"kick"}, nullptr);
    EXPECT_EQ(makeCaptureHealthEnd(app->impl(), device(5, 100, 3, 4)), Json::parse(R"({
        "streams": [
          {"id": "virtual:out", "name": "Mains", "status": "running", "channels": 2,
           "sampleRate": 48000, "missingFrames": 100, "discontinuities": 9,
           "startupMissingFrames": 7, "queueMilliseconds": 2.5, "correctionPpm": -12.25},
          {"id": "virtual:in", "name": "Stage box", "status": "running", "channels": 2,
           "sampleRate": 48000, "missingFrames": 5, "discontinuities": 2,
           "startupMissingFrames": 64, "queueMilliseconds": 2.5, "correctionPpm": -12.25}],
        "missingFrames": 0, "discontinuities": 0, "startupMissingFrames": 0, "xruns": 0,
        "renderDeadlineOverruns": 0, "sourceLost": false, "error": "", "captureIssue": false})"));
}

TEST(CaptureHealth, OnlyAudioLostOnTheWayInIsACaptureIssue) {
    const std::string acquisition = "Audio acquisition reported missing frames or xruns during "
                                    "this take; inspect capture-health.json";
    const struct {
        const char* label;
        bool baseline;
        BackendStatus status;
        std::string error; // of the backend
        std::uint64_t missing, xruns, overruns;
        bool issue;
        std::string text;
    } cases[] = {
        {"nothing accrued", true, device(5, 0, 3, 4), "", 0, 0, 0, false, ""},
        {"render endpoint misses frames", true, device(5, 90, 3, 4), "", 0, 0, 0, false, ""},
        {"render deadline overruns alone", true, device(5, 0, 3, 40), "", 0, 0, 36, false, ""},
        {"one xrun", true, device(5, 0, 4, 4), "", 0, 1, 0, true, acquisition},
        {"capture misses frames", true, device(15, 0, 3, 4), "", 10, 0, 0, true, acquisition},
        {"counters lower than at the start: audio was restarted", true, device(2, 0, 1, 1), "", 2,
         1, 1, true, acquisition},
        {"no baseline: counters whole", false, device(5, 0, 0, 0), "", 5, 0, 0, true, acquisition},
        {"source died", true, device(5, 0, 3, 4), "Capture endpoint removed", 0, 0, 0, true,
         "Capture endpoint removed"},
    };
    auto app = headlessApplication();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        app->impl().takeBaseline =
            c.baseline ? makeCaptureHealthStart(device(5, 0, 3, 4), {"kick"}, nullptr) : Json();
        BackendStatus status = c.status;
        status.error = c.error;
        const Json end = makeCaptureHealthEnd(app->impl(), status);
        EXPECT_EQ(end.at("missingFrames"), c.missing);
        EXPECT_EQ(end.at("xruns"), c.xruns);
        EXPECT_EQ(end.at("renderDeadlineOverruns"), c.overruns);
        EXPECT_EQ(end.at("captureIssue"), c.issue);
        EXPECT_EQ(end.at("sourceLost"), !c.error.empty());
        EXPECT_EQ(end.at("error"), c.text);
    }
}

class CaptureHealthFile : public ::testing::Test {
protected:
    std::string path() const { return dir_ / kCaptureHealthFileName; }
    const Json start_ = {{"xruns", 0}, {"tracks", {"kick"}}, {"nativeSession", {{"name", "Ü"}}}};
    const Json end_ = {{"captureIssue", false}, {"error", ""}};
    TakeTempDir dir_;
};

TEST_F(CaptureHealthFile, StartThenFinalDocumentReplaceEachOtherWhole) {
    writeCaptureHealthStartFile(dir_.path(), start_);
    EXPECT_EQ(readWholeFile(path()), Json({{"end", nullptr},
                                           {"format", "kestravon-live-capture-health-1"},
                                           {"note", "Recording starts only after host "
                                                    "publication; final capture health is "
                                                    "written on stop"},
                                           {"prepared", start_},
                                           {"start", nullptr}})
                                         .dump(2));
    EXPECT_NE(readWholeFile(path()).find("\"name\": \"Ü\""), std::string::npos); // UTF-8 kept

    Json end = end_;
    writeCaptureHealthFile(path(), start_, end);
    EXPECT_EQ(end, end_);
    const std::string text = readWholeFile(path());
    EXPECT_EQ(text, Json({{"end", end_},
                          {"format", "kestravon-live-capture-health-1"},
                          {"start", start_},
                          {"tap", "after-device-SRC-before-trim-effects-faders"}})
                        .dump(2));
    EXPECT_EQ(text.substr(0, 4), "{\n  ");
    EXPECT_EQ(text.back(), '}');
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{kCaptureHealthFileName}); // no temporary left
}

TEST_F(CaptureHealthFile, AFolderThatRefusesTheFinalDocumentKeepsTheStartOne) {
    writeCaptureHealthStartFile(dir_.path(), start_);
    const std::string startDocument = readWholeFile(path());
    Json end = end_;
    {
        const ReadOnlyFolder readOnly(dir_.path());
        writeCaptureHealthFile(path(), start_, end);
    }
    EXPECT_EQ(end.at("captureIssue"), true);
    EXPECT_EQ(end.at("error"), "Could not save capture-health.json; audio files retained");
    EXPECT_EQ(readWholeFile(path()), startDocument);
    EXPECT_FALSE(std::filesystem::exists(path() + ".tmp"));

    // A folder that is gone altogether: the same report, and no exception.
    end = end_;
    writeCaptureHealthFile(dir_ / "gone/capture-health.json", start_, end);
    EXPECT_EQ(end.at("error"), "Could not save capture-health.json; audio files retained");
}

TEST_F(CaptureHealthFile, AStartDocumentThatCannotBeWrittenFailsLoudly) {
    const ReadOnlyFolder readOnly(dir_.path());
    EXPECT_THROW(writeCaptureHealthStartFile(dir_.path(), start_), std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(path()));
}

} // namespace
} // namespace kestravon::ruvi
