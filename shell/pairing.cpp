// Every copy of the bootstrap (raw bytes, parsed value, the request built from it, the reply's
// inputs) is wiped on every way out; the files are deleted as soon as they are read, before
// parsing, so a file that does not parse leaves no plaintext password behind.

#include "shell/pairing.h"

#include "shell/bounded_file.h"

#include "remote/bounded_json.h"
#include "shell/native_dialogs.h"
#include "shell/request_front.h"
#include "shell/secret_wipe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <stdexcept>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

constexpr off_t kMaxBootstrapBytes = 1024;
constexpr off_t kMaxSessionBytes = 2 * 1024 * 1024;

struct StringWipe {
    std::string& text;
    ~StringWipe() { wipeString(text); }
};

struct JsonWipe {
    Json& value;
    ~JsonWipe() { wipeJsonStrings(value); }
};

// Whether path names anything; a failure other than "not found" fails the hand-off.
bool present(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        return true;
    }
    if (errno == ENOENT) {
        return false;
    }
    throw std::runtime_error("pairing file not readable");
}

// Reads a regular file of at most limit bytes into text and deletes it. The size is checked
// before reading: an oversized file is left where it is.
void readAndDelete(const std::string& path, off_t limit, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        throw std::runtime_error("pairing file not readable");
    }
    if (!readRegularFile(fd, limit, text)) {
        throw std::runtime_error("pairing file refused");
    }
    if (::unlink(path.c_str()) != 0) {
        throw std::runtime_error("pairing file not removed");
    }
}

// Throws for every failure that shows the generic box; returns the LAN settings' refusal text,
// empty when the settings were applied.
std::string pair(const std::string& folder, RequestFront& front) {
    const std::string bootstrapPath = folder + "/" + kPairingBootstrapFile;
    if (!present(bootstrapPath)) {
        return {};
    }
    std::string raw;
    StringWipe rawWipe{raw};
    Json bootstrap;
    JsonWipe bootstrapWipe{bootstrap};
    readAndDelete(bootstrapPath, kMaxBootstrapBytes, raw);
    bootstrap = boundedJson(raw);
    wipeString(raw);

    const std::string sessionPath = folder + "/" + kPairingSessionFile;
    if (present(sessionPath)) {
        std::string sessionText;
        readAndDelete(sessionPath, kMaxSessionBytes, sessionText);
        Json applied = front.localRequest(
            {{"id", 0}, {"method", "applySession"}, {"params", boundedJson(sessionText)}});
        if (!applied.is_object() || applied.value("ok", false) != true) {
            throw std::runtime_error("starter session refused");
        }
    }

    Json request = {{"id", 0}, {"method", "configureRemote"}, {"params", bootstrap}};
    JsonWipe requestWipe{request};
    const Json reply = front.localRequest(request);
    if (reply.is_object() && reply.value("ok", false) == true) {
        return {};
    }
    const auto error = reply.is_object() ? reply.find("error") : reply.end();
    if (error != reply.end() && error->is_string() && !error->get<std::string>().empty()) {
        return error->get<std::string>();
    }
    return "LAN pairing failed";
}

} // namespace

void runPairingHandOff(const std::string& folder, RequestFront& front, NativeDialogs& dialogs) {
    std::string refusal;
    try {
        refusal = pair(folder, front);
    } catch (...) {
        refusal = kPairingFailedText;
    }
    if (!refusal.empty()) {
        try {
            dialogs.showError(refusal);
        } catch (...) {
        }
    }
}

} // namespace kestravon::ruvi
