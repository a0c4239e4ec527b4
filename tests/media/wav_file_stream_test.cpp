// Opening what a user may name as a WAV file: only regular files open, and nothing else makes
// the caller wait.

#include "media/playback_bank.h"
#include "media/wav_decoder.h"
#include "media/wav_file_stream.h"
#include "media/wav_header.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace kestravon::ruvi {
namespace {

class SpecialFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "ruvi-wavopen-XXXXXX");
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        fifo_ = (folder_ / "pipe.wav").string();
        ASSERT_EQ(::mkfifo(fifo_.c_str(), 0600), 0);
        wav_ = (folder_ / "tone.wav").string();
        const std::string sox = "sox -n -r 44100 -c 1 -b 16 '" + wav_ + "' synth 0.05 sine 440";
        ASSERT_EQ(std::system(sox.c_str()), 0);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    // Runs `call` and gives up after ten seconds (an open that blocked, not one that was slow
    // on a busy machine); a blocked open is released by opening the FIFO's writing end, so a
    // failing test still ends.
    std::string errorUnlessBlocked(std::function<void()> call) {
        auto done = std::async(std::launch::async, [call] {
            try {
                call();
            } catch (const std::exception& e) {
                return std::string(e.what());
            }
            return std::string("(no error)");
        });
        if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            const int writer = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
            done.wait();
            if (writer >= 0) {
                ::close(writer);
            }
            return "(blocked)";
        }
        return done.get();
    }

    std::filesystem::path folder_;
    std::string fifo_;
    std::string wav_;
};

TEST_F(SpecialFiles, OnlyRegularFilesOpenAndNoneBlocks) {
    for (const std::string& path :
         {fifo_, folder_.string(), std::string("/dev/null"), (folder_ / "missing.wav").string()}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(errorUnlessBlocked([path] {
                      WavFileStream stream;
                      if (!stream.open(path)) {
                          throw std::runtime_error("refused");
                      }
                  }),
                  "refused");
    }
    // A regular file opens and reads in blocking mode to its end.
    WavFileStream stream;
    ASSERT_TRUE(stream.open(wav_));
    std::string bytes(1 << 16, '\0');
    EXPECT_EQ(stream.read(bytes.data(), bytes.size()),
              static_cast<std::size_t>(std::filesystem::file_size(wav_)));
}

TEST_F(SpecialFiles, AFifoNamedAsAWavFileFailsWithEachReadersOwnText) {
    EXPECT_EQ(errorUnlessBlocked([this] { (void)decodeWavFile(fifo_); }), "Cannot open WAV file");
    EXPECT_EQ(errorUnlessBlocked([this] { (void)inspectPlaybackWav(fifo_); }),
              "Cannot open playback WAV for metadata inspection");
    EXPECT_EQ(errorUnlessBlocked([this] {
                  (void)makePlaybackConfig(nlohmann::json::array({wav_, fifo_}), 48000);
              }),
              "Cannot open playback WAV for metadata inspection");
}

} // namespace
} // namespace kestravon::ruvi
