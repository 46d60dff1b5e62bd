#include "HostFile.h"

#include "HostLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zan {

namespace {

struct Descriptor {
    int fd;
    ~Descriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

[[noreturn]] void Refuse(const std::string& what, const std::string& path, const std::string& why)
{
    throw HostFileError("cannot use the " + what + " '" + path + "': " + why);
}

}  // namespace

std::string ReadHostFile(const std::string& path, const std::string& what, bool secret, size_t limit)
{
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    Descriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (file.fd < 0) {
        Refuse(what, path, std::strerror(errno));
    }
    struct stat status {};
    if (::fstat(file.fd, &status) != 0) {
        Refuse(what, path, std::strerror(errno));
    }
    if (!S_ISREG(status.st_mode)) {
        Refuse(what, path, "not a regular file");
    }
    if (status.st_size > static_cast<off_t>(limit)) {
        Refuse(what, path, "larger than " + std::to_string(limit) + " bytes");
    }
    if (secret && (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        LogWarning("file", "zan-tunnel: the " + what + " '" + path + "' is accessible by other users (mode " + mode +
                               "); chmod 600 it");
    }
    // One byte more than allowed tells a file that grew since fstat.
    std::string content(limit + 1, '\0');
    size_t filled = 0;
    while (filled < content.size()) {
        const ssize_t count = ::read(file.fd, content.data() + filled, content.size() - filled);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            Refuse(what, path, std::strerror(errno));
        }
        if (count == 0) {
            break;
        }
        filled += static_cast<size_t>(count);
    }
    if (filled > limit) {
        Refuse(what, path, "larger than " + std::to_string(limit) + " bytes");
    }
    content.resize(filled);
    return content;
}

std::string FirstLineOfHostFile(const std::string& path, const std::string& what, bool secret)
{
    std::string content = ReadHostFile(path, what, secret);
    std::string line = content.substr(0, content.find('\n'));
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    std::fill(content.begin(), content.end(), '\0');
    if (line.empty()) {
        Refuse(what, path, "its first line is empty");
    }
    return line;
}

} // namespace zan
