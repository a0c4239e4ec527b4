#include "media/take_journal.h"

#include "media/take_file_io.h"
#include "tests/support/recorder_test_support.h"

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

using testing::readWholeFile;
using testing::TakeTempDir;

RecorderTakeConfig twoTrackTake() {
    RecorderTakeConfig config;
    config.directory = "/tmp/unused";
    config.sampleRate = 44100;
    config.firstSourceFrame = 123456789012ULL;
    config.tracks = {{"kick", "Kick \xC3\xA9", {3}}, {"ovh_L-R", "Overheads", {4, 5}}};
    return config;
}

TEST(TakeJournal, ManifestIsOneSortedCompactLine) {
    EXPECT_EQ(takeManifestJson(twoTrackTake()).dump(),
              R"({"encoding":"IEEE-float32","firstSourceFrame":123456789012,)"
              R"("format":"kestravon-live-raw-take","headerBytes":92,"sampleRate":44100,)"
              R"("tap":"raw-input-pre-effects-pre-fader","tracks":[)"
              R"({"channels":1,"file":"1-kick.wav","id":"kick","name":"Kick )"
              "\xC3\xA9"
              R"(","sourceLanes":[3]},)"
              R"({"channels":2,"file":"2-ovh_L-R.wav","id":"ovh_L-R","name":"Overheads",)"
              R"("sourceLanes":[4,5]}],"version":1})");
}

TEST(TakeJournal, EventLinesCarryEveryKeyInOrder) {
    const struct {
        nlohmann::json event;
        const char* line;
    } cases[] = {
        {journalPrepared(), R"({"event":"prepared","frames":0})"},
        {journalCommitted(0, {14695981039346656037ULL, 14695981039346656037ULL}),
         R"({"event":"committed","frames":0,"hashAlgorithm":"fnv1a64-audio-bytes",)"
         R"("hashes":[14695981039346656037,14695981039346656037]})"},
        {journalCommitted(96000, {18446744073709551615ULL}),
         R"({"event":"committed","frames":96000,"hashAlgorithm":"fnv1a64-audio-bytes",)"
         R"("hashes":[18446744073709551615]})"},
        {journalFinalized(0, 120000, 0, 0),
         R"({"complete":true,"droppedFrames":0,"event":"finalized","fault":0,)"
         R"("firstDroppedFrame":0,"frames":120000})"},
        {journalFinalized(1, 2048, 512, 2048),
         R"({"complete":false,"droppedFrames":512,"event":"finalized","fault":1,)"
         R"("firstDroppedFrame":2048,"frames":2048})"},
        {journalWriterFailed("Recording write failed (system error 27)", 49000, 48000, 1000, 49000),
         R"({"committedFrames":48000,"droppedFrames":1000,)"
         R"j("error":"Recording write failed (system error 27)","event":"writer-failed",)j"
         R"("firstDroppedFrame":49000,"writtenFrames":49000})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.event.dump(), c.line);
    }
}

TEST(TakeJournal, AppendsLinesWithALineFeedEach) {
    TakeTempDir dir;
    {
        const RecordingFile journal = openRecordingFile(dir / "recovery.jsonl");
        appendJournalLine(journal, journalPrepared());
        appendJournalLine(journal, journalCommitted(0, {1}));
    }
    EXPECT_EQ(readWholeFile(dir / "recovery.jsonl"),
              "{\"event\":\"prepared\",\"frames\":0}\n"
              "{\"event\":\"committed\",\"frames\":0,\"hashAlgorithm\":\"fnv1a64-audio-bytes\","
              "\"hashes\":[1]}\n");
}

} // namespace
} // namespace kestravon::ruvi
