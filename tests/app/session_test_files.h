#pragma once
// Real files for the session store tests: a private folder, whole-file reads and writes, and the
// system's own sha256sum as an independent digest.

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kestravon::ruvi::testing {

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ruvi-session-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The digest as `sha256sum` prints it.
inline std::string sha256sumOf(const std::string& path) {
    const std::string command = "sha256sum '" + path + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {};
    }
    char digest[65] = {};
    const std::size_t n = std::fread(digest, 1, 64, pipe);
    ::pclose(pipe);
    return std::string(digest, n);
}

// Runs a shell command and returns its exit status.
inline int runCommand(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The smallest payload every rule accepts, with text outside ASCII to show it stays UTF-8.
inline nlohmann::json minimalSessionPayload() {
    return nlohmann::json::parse(R"({
        "native": {"format": "kestravon-live-native-0.1", "sampleRate": 48000,
                   "nodes": [{"id": "ch-1", "name": "Voix \u00e9 \u266b", "gainDb": -3.5}]},
        "uiState": {"schemaVersion": 2, "scenes": [], "title": "Salle \u00e0 manger"},
        "sceneStates": {}})");
}

// `text` with the first `from` replaced by `to`; a test failure when there is none.
inline std::string replaceOnce(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

} // namespace kestravon::ruvi::testing
