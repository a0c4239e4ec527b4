#pragma once
// What the shell's tests share: a headless Application, scripted dialogs, curl on loopback.

#include "shell/editor_host.h"
#include "shell/native_dialogs.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestravon::ruvi {

class Application;

// An Application on a virtual stereo input and output.
std::unique_ptr<Application> headlessApplication();

// The probe page the tests serve (index.html, styles.css, app.js, nativebridge.js).
std::string probeWebRoot();

// A TCP port on 127.0.0.1 that was free a moment ago.
unsigned freeLoopbackPort();

struct CurlReply {
    int status = 0; // HTTP status, 0 when curl failed
    std::string body;
};
// POSTs JSON to http://127.0.0.1:port/path, with a bearer token when given.
CurlReply curlPost(unsigned port, const std::string& path, const std::string& body,
                   const std::string& token = {});
// Logs in with the password; the token or empty.
std::string curlLogin(unsigned port, const std::string& password);

// Dialogs answered from a script, recording what was asked.
class ScriptedDialogs : public NativeDialogs {
public:
    std::deque<std::optional<std::string>> sessionAnswers;
    std::deque<std::optional<std::vector<std::string>>> wavAnswers;
    std::deque<bool> replaceAnswers;
    int saveDialogs = 0;
    int openDialogs = 0;
    int wavDialogs = 0;
    std::vector<std::string> errors;
    std::vector<std::string> replaceQuestions;

    std::optional<std::string> chooseSessionToSave() override;
    std::optional<std::string> chooseSessionToOpen() override;
    std::optional<std::vector<std::string>> chooseWavFiles() override;
    bool confirmReplace(const std::string& path) override;
    void showError(const std::string& text) override;
};

// For front tests that never reach an editor: counts windows, never makes one.
class CountingEditorHost : public EditorHost {
public:
    int created = 0;
    int destroyed = 0;
    EditorWindow* createEditorWindow(std::string& error) override;
    void showEditorWindow() override {}
    void destroyEditorWindow() noexcept override { ++destroyed; }
    bool hasEditorWindow() const noexcept override { return false; }
};

// True (and the test should GTEST_SKIP) while the control core still lacks what the reply
// needed; lets these tests land before the methods they drive.
bool coreMethodMissing(const nlohmann::json& reply);

// A 16-bit PCM WAV of a quiet ramp.
void writeWav(const std::string& path, std::uint32_t rate, std::uint16_t channels,
              std::uint32_t frames);

// A fresh folder under the test temporary folder, removed by the caller's scope.
struct TempFolder {
    TempFolder();
    ~TempFolder();
    std::string path;
};

} // namespace kestravon::ruvi
