#include "RecordingFileWriter.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace zan {

RecordingFileWriter::~RecordingFileWriter()
{
    Close();
}

bool RecordingFileWriter::Create(const std::string& name)
{
    Close();
    fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    failed = fd < 0;
    position = 0;
    return fd >= 0;
}

void RecordingFileWriter::Close()
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

bool RecordingFileWriter::Append(std::span<const std::byte> first, std::span<const std::byte> second)
{
    if (fd < 0 || failed) {
        return false;
    }
    if (WriteAll(first, second)) {
        position += first.size() + second.size();
        return true;
    }
    // Take the partial block back off the file so that it still ends on a
    // whole block; if that is impossible the file is no longer trustworthy.
    if (::ftruncate(fd, static_cast<off_t>(position)) != 0 ||
        ::lseek(fd, static_cast<off_t>(position), SEEK_SET) < 0) {
        failed = true;
    }
    return false;
}

bool RecordingFileWriter::WriteAll(std::span<const std::byte> first, std::span<const std::byte> second)
{
    iovec parts[2] = {{const_cast<std::byte*>(first.data()), first.size()},
                      {const_cast<std::byte*>(second.data()), second.size()}};
    iovec* next = parts;
    int count = 2;
    while (count > 0) {
        if (next->iov_len == 0) {
            ++next;
            --count;
            continue;
        }
        const ssize_t written = ::writev(fd, next, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        size_t done = static_cast<size_t>(written);
        while (count > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<std::byte*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
    return true;
}

bool RecordingFileWriter::WriteAt(uint64_t offset, std::span<const std::byte> bytes)
{
    if (fd < 0 || failed) {
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                         static_cast<off_t>(offset + done));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

} // namespace zan
