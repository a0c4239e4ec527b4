#include "media/take_file_io.h"
#include "media/take_hash.h"

#include "tests/support/recorder_test_support.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace kestravon::ruvi {
namespace {

using testing::readWholeFile;
using testing::TakeTempDir;

std::string failureText(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(no failure)";
}

TEST(TakeFileIo, Fnv1a64MatchesPublishedVectorsAndContinuesAcrossPieces) {
    const struct {
        std::string text;
        std::uint64_t hash;
    } vectors[] = {
        {"", 0xcbf29ce484222325ULL},
        {"a", 0xaf63dc4c8601ec8cULL},
        {"foobar", 0x85944171f73967e8ULL},
    };
    for (const auto& v : vectors) {
        EXPECT_EQ(fnv1a64(kFnv1a64OffsetBasis, v.text.data(), v.text.size()), v.hash) << v.text;
    }
    const std::uint64_t split = fnv1a64(fnv1a64(kFnv1a64OffsetBasis, "foo", 3), "bar", 3);
    EXPECT_EQ(split, 0x85944171f73967e8ULL);
}

TEST(TakeFileIo, CreatesOnlyNewFilesAndWritesAllBytes) {
    TakeTempDir dir;
    {
        const RecordingFile file = openRecordingFile(dir / "new.bin");
        writeRecordingBytes(file, "abc", 3);
        writeRecordingBytes(file, "de", 2);
        flushRecordingFile(file);
    }
    EXPECT_EQ(readWholeFile(dir / "new.bin"), "abcde");
    EXPECT_EQ(failureText([&] { (void)openRecordingFile(dir / "new.bin"); }),
              "Cannot open recording file (system error 17)");
    EXPECT_EQ(readWholeFile(dir / "new.bin"), "abcde");
    EXPECT_EQ(failureText([&] { (void)openRecordingFile(dir / "missing/x.bin"); }),
              "Cannot open recording file (system error 2)");
}

TEST(TakeFileIo, ReportsFlushFailureWithTheSystemError) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const RecordingFile readEnd(ends[0]);
    const RecordingFile writeEnd(ends[1]);
    EXPECT_EQ(failureText([&] { flushRecordingFile(writeEnd); }),
              "Recording flush failed (system error 22)");
}

TEST(TakeFileIo, CancellationAsksTheCallbackOnlyWhenThereIsOne) {
    EXPECT_NO_THROW(throwIfPreparationCancelled({}));
    EXPECT_NO_THROW(throwIfPreparationCancelled([] { return false; }));
    EXPECT_EQ(failureText([] { throwIfPreparationCancelled([] { return true; }); }),
              "Recording preparation cancelled; partial take retained");
}

} // namespace
} // namespace kestravon::ruvi
