#include "vst3/memory_stream.h"

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

using Steinberg::IBStream;
using Steinberg::int32;
using Steinberg::int64;
using Steinberg::kInvalidArgument;
using Steinberg::kResultOk;

TEST(MemoryStream, ReadWriteSeekTell) {
    MemoryStream stream;
    char text[] = "hello";
    int32 written = -1;
    ASSERT_EQ(stream.write(text, 5, &written), kResultOk);
    EXPECT_EQ(written, 5);
    int64 position = -1;
    ASSERT_EQ(stream.seek(8, IBStream::kIBSeekSet, &position), kResultOk); // past the end
    EXPECT_EQ(position, 8);
    ASSERT_EQ(stream.write(text, 2, nullptr), kResultOk);
    EXPECT_EQ(stream.bytes(),
              (std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o', 0, 0, 0, 'h', 'e'}));

    ASSERT_EQ(stream.seek(-3, IBStream::kIBSeekEnd, &position), kResultOk);
    EXPECT_EQ(position, 7);
    char buffer[8]{};
    int32 got = -1;
    ASSERT_EQ(stream.read(buffer, 8, &got), kResultOk);
    EXPECT_EQ(got, 3);
    got = -1;
    EXPECT_EQ(stream.read(buffer, 1, &got), kResultOk); // at the end: nothing more to read
    EXPECT_EQ(got, 0);
    ASSERT_EQ(stream.seek(20, IBStream::kIBSeekSet, nullptr), kResultOk);
    EXPECT_EQ(stream.read(buffer, 1, &got), kResultOk); // past the end
    EXPECT_EQ(got, 0);
    ASSERT_EQ(stream.seek(10, IBStream::kIBSeekSet, nullptr), kResultOk);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(stream.read(buffer, 0, &got), kResultOk);
    ASSERT_EQ(stream.tell(&position), kResultOk);
    EXPECT_EQ(position, 10);
    EXPECT_EQ(stream.tell(nullptr), kInvalidArgument);
    EXPECT_EQ(stream.seek(-2, IBStream::kIBSeekCur, &position), kResultOk);
    EXPECT_EQ(position, 8);
}

TEST(MemoryStream, RefusalsAndBound) {
    MemoryStream stream;
    char byte = 'x';
    int64 position = 0;
    EXPECT_EQ(stream.seek(-1, IBStream::kIBSeekSet, &position), kInvalidArgument);
    EXPECT_EQ(stream.seek(MemoryStream::kBound + 1, IBStream::kIBSeekSet, &position),
              kInvalidArgument);
    EXPECT_EQ(stream.seek(INT64_MAX, IBStream::kIBSeekCur, &position), kInvalidArgument);
    EXPECT_EQ(stream.seek(0, 3, &position), kInvalidArgument);
    EXPECT_EQ(stream.tell(&position), kResultOk);
    EXPECT_EQ(position, 0); // refused seeks leave the position alone
    EXPECT_EQ(stream.read(nullptr, 1, nullptr), kInvalidArgument);
    EXPECT_EQ(stream.read(&byte, -1, nullptr), kInvalidArgument);
    EXPECT_FALSE(stream.overflowed());

    ASSERT_EQ(stream.seek(MemoryStream::kBound, IBStream::kIBSeekSet, nullptr), kResultOk);
    int32 written = -1;
    EXPECT_EQ(stream.write(&byte, 1, &written), kInvalidArgument);
    EXPECT_EQ(written, 0);
    EXPECT_TRUE(stream.overflowed());
    EXPECT_TRUE(stream.bytes().empty());

    MemoryStream negative;
    EXPECT_EQ(negative.write(&byte, -1, nullptr), kInvalidArgument);
    EXPECT_TRUE(negative.overflowed());
}

TEST(MemoryStream, QueryInterface) {
    MemoryStream stream;
    void* found = nullptr;
    EXPECT_EQ(stream.queryInterface(IBStream::iid, &found), kResultOk);
    EXPECT_EQ(found, &stream);
    EXPECT_EQ(stream.queryInterface(Steinberg::ISizeableStream::iid, &found),
              Steinberg::kNoInterface);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(stream.queryInterface(IBStream::iid, nullptr), kInvalidArgument);
    EXPECT_EQ(stream.addRef(), 1u);
    EXPECT_EQ(stream.release(), 1u);
}

} // namespace
} // namespace kestravon::ruvi
