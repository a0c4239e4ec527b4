#include "shell/bounded_file.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace kestravon::ruvi {

bool readRegularFile(int fd, off_t limit, std::string& text) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > limit) {
        ::close(fd);
        return false;
    }
    text.assign(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    return true;
}

} // namespace kestravon::ruvi
