#pragma once
// The native dialogs a request may open on the stage computer: the file choosers and the error
// box. The shell implements them with GTK; tests script them.

#include <optional>
#include <string>
#include <vector>

namespace kestravon::ruvi {

class NativeDialogs {
public:
    virtual ~NativeDialogs() = default;

    // Each chooser runs modally (timer ticks and queued requests keep running inside it) and
    // gives the chosen file names as the file system's bytes, or nothing when cancelled.
    virtual std::optional<std::string> chooseSessionToSave() = 0;
    virtual std::optional<std::string> chooseSessionToOpen() = 0;
    virtual std::optional<std::vector<std::string>> chooseWavFiles() = 0;
    // Whether to replace an existing file the save chooser did not ask about.
    virtual bool confirmReplace(const std::string& path) = 0;
    // A modal error box with the product's caption.
    virtual void showError(const std::string& text) = 0;
};

} // namespace kestravon::ruvi
