// The file job body: reads a session file or takes the chosen paths, then preloads the WAV files
// into a new bank that the completion swaps in. Touches nothing of the Application.

#include "app/job_bodies.h"

#include "app/json_read.h"
#include "app/local_path.h"
#include "app/session_file_store.h"

#include <exception>
#include <stdexcept>
#include <string>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using Stage = Application::AsyncJob::Stage;

constexpr std::size_t kMaxCatalogueEntries = 128;

void throwIfCancelled(const Application::AsyncJob& job) {
    if (job.isJobCancelled()) {
        throw std::runtime_error("File operation cancelled");
    }
}

Json cataloguePaths(const Json& native) {
    const auto files = native.is_object() ? native.find("playbackFiles") : native.end();
    if (files == native.end()) {
        return Json::array();
    }
    if (!files->is_array() || files->size() > kMaxCatalogueEntries) {
        throw std::runtime_error("Invalid project playback catalogue");
    }
    Json paths = Json::array();
    for (const auto& entry : *files) {
        paths.push_back(entry.at("path"));
    }
    return paths;
}

bool nothingToLoad(const Json& paths) {
    return paths.is_null() || ((paths.is_array() || paths.is_object()) && paths.empty());
}

} // namespace

std::uint32_t nativeSampleRate(const Json& native) {
    const auto rate = native.is_object() ? native.find("sampleRate") : native.end();
    if (!native.is_object() || rate == native.end()) {
        return 48000;
    }
    const auto value = readInt64(*rate);
    if (!value || *value < 8000 || *value > 192000) {
        throw std::runtime_error("Invalid sampleRate");
    }
    return static_cast<std::uint32_t>(*value);
}

Stage loadFilesJob(Application::AsyncJob& job, Json params, std::uint32_t sampleRate,
                   std::uint64_t residentBytes) {
    Stage stage;
    try {
        Json paths;
        if (job.method == "loadSession") {
            stage.document =
                loadSessionFile(localPathFromUtf8(params.at("path").get<std::string>()));
            const Json& native = stage.document.at("native");
            // Checked before anything uses it: every file would be resampled to this rate.
            sampleRate = nativeSampleRate(native);
            paths = cataloguePaths(native);
        } else {
            paths = params.at("paths");
        }
        stage.playback = std::make_unique<PlaybackBank>();
        if (!nothingToLoad(paths)) {
            throwIfCancelled(job);
            PlaybackConfig config = makePlaybackConfig(paths, sampleRate);
            if (residentBytes >= config.memoryBudgetBytes) {
                throw std::runtime_error("Not enough bounded playback memory to open these files");
            }
            // The installed bank stays resident until the completion drops it.
            config.memoryBudgetBytes -= residentBytes;
            config.cancel = [&job] { return job.isJobCancelled(); };
            config.progress = [&job](std::string_view word, double fraction) {
                job.reportJobProgress(word, fraction);
            };
            stage.playback->load(config);
            config.cancel = nullptr;
            config.progress = nullptr;
            stage.playbackConfig = std::move(config);
        }
        throwIfCancelled(job);
        job.phase.exchange(static_cast<std::int32_t>(JobPhase::preparing));
        return stage;
    } catch (const std::exception& e) {
        stage = Stage();
        stage.error = e.what();
    } catch (...) {
        stage = Stage();
        stage.error = "File operation failed";
    }
    return stage;
}

} // namespace kestravon::ruvi
