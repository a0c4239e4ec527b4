#pragma once
// The file choosers and the error box, as GTK dialogs owned by the main window.

#include "shell/native_dialogs.h"

#include <gtk/gtk.h>

#include <string>

namespace kestravon::ruvi {

inline constexpr const char* kMessageBoxTitle = "KESTRAVON RUVI";

class GtkDialogs : public NativeDialogs {
public:
    // owner may be null (a box before the main window exists).
    explicit GtkDialogs(GtkWindow* owner) : owner_(owner) {}
    void setOwner(GtkWindow* owner) noexcept { owner_ = owner; }

    std::optional<std::string> chooseSessionToSave() override;
    std::optional<std::string> chooseSessionToOpen() override;
    std::optional<std::vector<std::string>> chooseWavFiles() override;
    bool confirmReplace(const std::string& path) override;
    void showError(const std::string& text) override;

private:
    GtkWindow* owner_;
};

// An error box with the product's caption and no owner; for start-up failures.
void showStartupError(const std::string& text);

} // namespace kestravon::ruvi
