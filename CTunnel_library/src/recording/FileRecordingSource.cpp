#include "FileRecordingSource.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zan {

FileRecordingSource::~FileRecordingSource()
{
    if (fd >= 0) {
        ::close(fd);
    }
}

bool FileRecordingSource::Open(const std::string& path, std::string& error)
{
    const int opened = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (opened < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(opened, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = S_ISDIR(info.st_mode) ? "is a directory" : "not a regular file";
        ::close(opened);
        return false;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    fd = opened;
    size = static_cast<uint64_t>(info.st_size);
    windowLength = 0;
    return true;
}

bool FileRecordingSource::ReadAt(uint64_t offset, std::span<std::byte> out)
{
    if (fd < 0 || offset > size || out.size() > size - offset) {
        return false;
    }
    if (out.empty()) {
        return true;
    }
    if (out.size() > kWindowSize) {
        return ReadDirect(offset, out);
    }
    const bool inWindow = offset >= windowOffset && offset - windowOffset + out.size() <= windowLength;
    if (!inWindow && !FillWindow(offset)) {
        return false;
    }
    const size_t start = static_cast<size_t>(offset - windowOffset);
    if (start + out.size() > windowLength) {
        return false;  // the file shrank since it was opened
    }
    std::copy_n(window.begin() + static_cast<std::ptrdiff_t>(start), out.size(), out.begin());
    return true;
}

bool FileRecordingSource::FillWindow(uint64_t offset)
{
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(kWindowSize, size - offset));
    windowOffset = offset;
    windowLength = 0;
    while (windowLength < wanted) {
        const ssize_t got = ::pread(fd, window.data() + windowLength, wanted - windowLength,
                                    static_cast<off_t>(offset + windowLength));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;  // keep what was read; the caller checks the range
        }
        windowLength += static_cast<size_t>(got);
    }
    return windowLength > 0;
}

bool FileRecordingSource::ReadDirect(uint64_t offset, std::span<std::byte> out)
{
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

} // namespace zan
