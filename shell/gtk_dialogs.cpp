// GtkFileChooserNative runs modally in a nested loop, so timer ticks and queued LAN requests keep
// running while a chooser is open.

#include "shell/gtk_dialogs.h"

#include <memory>

namespace kestravon::ruvi {
namespace {

struct ChooserDeleter {
    void operator()(GtkFileChooserNative* chooser) const { g_object_unref(chooser); }
};
using Chooser = std::unique_ptr<GtkFileChooserNative, ChooserDeleter>;

Chooser makeChooser(GtkWindow* owner, GtkFileChooserAction action) {
    return Chooser(gtk_file_chooser_native_new(nullptr, owner, action, nullptr, nullptr));
}

void addFilter(GtkFileChooserNative* chooser, const char* name, const char* pattern) {
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, name);
    gtk_file_filter_add_pattern(filter, pattern);
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), filter);
}

std::string takeFilename(gchar* name) {
    std::string text = name != nullptr ? name : "";
    g_free(name);
    return text;
}

std::optional<std::string> runSessionChooser(GtkWindow* owner, bool save) {
    Chooser chooser =
        makeChooser(owner, save ? GTK_FILE_CHOOSER_ACTION_SAVE : GTK_FILE_CHOOSER_ACTION_OPEN);
    GtkFileChooser* files = GTK_FILE_CHOOSER(chooser.get());
    addFilter(chooser.get(), "KESTRAVON RUVI session (*.kestavel)", "*.kestavel");
    gtk_file_chooser_set_local_only(files, TRUE);
    if (save) {
        gtk_file_chooser_set_do_overwrite_confirmation(files, TRUE);
        gtk_file_chooser_set_current_name(files, "KESTRAVON rehearsal.kestavel");
    }
    if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(chooser.get())) != GTK_RESPONSE_ACCEPT) {
        return std::nullopt;
    }
    std::string path = takeFilename(gtk_file_chooser_get_filename(files));
    if (path.empty()) {
        return std::nullopt;
    }
    return path;
}

} // namespace

std::optional<std::string> GtkDialogs::chooseSessionToSave() {
    return runSessionChooser(owner_, true);
}

std::optional<std::string> GtkDialogs::chooseSessionToOpen() {
    return runSessionChooser(owner_, false);
}

std::optional<std::vector<std::string>> GtkDialogs::chooseWavFiles() {
    Chooser chooser = makeChooser(owner_, GTK_FILE_CHOOSER_ACTION_OPEN);
    GtkFileChooser* files = GTK_FILE_CHOOSER(chooser.get());
    addFilter(chooser.get(), "Wave audio (*.wav)", "*.wav");
    gtk_file_chooser_set_local_only(files, TRUE);
    gtk_file_chooser_set_select_multiple(files, TRUE);
    if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(chooser.get())) != GTK_RESPONSE_ACCEPT) {
        return std::nullopt;
    }
    std::vector<std::string> paths;
    GSList* names = gtk_file_chooser_get_filenames(files);
    for (GSList* item = names; item != nullptr; item = item->next) {
        paths.push_back(takeFilename(static_cast<gchar*>(item->data)));
    }
    g_slist_free(names);
    if (paths.empty()) {
        return std::nullopt;
    }
    return paths;
}

bool GtkDialogs::confirmReplace(const std::string& path) {
    GtkWidget* box =
        gtk_message_dialog_new(owner_, GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION, GTK_BUTTONS_YES_NO,
                               "%s already exists. Replace it?", path.c_str());
    gtk_window_set_title(GTK_WINDOW(box), kMessageBoxTitle);
    const int response = gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
    return response == GTK_RESPONSE_YES;
}

void GtkDialogs::showError(const std::string& text) {
    GtkWidget* box = gtk_message_dialog_new(owner_, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR,
                                            GTK_BUTTONS_OK, "%s", text.c_str());
    gtk_window_set_title(GTK_WINDOW(box), kMessageBoxTitle);
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}

void showStartupError(const std::string& text) {
    GtkDialogs(nullptr).showError(text);
}

} // namespace kestravon::ruvi
