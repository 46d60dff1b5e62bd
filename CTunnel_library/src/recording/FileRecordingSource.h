#pragma once

#include "RecordingSource.h"

#include <array>
#include <string>

namespace zan {

// A recording file read with positioned reads through a small window, so
// walking millions of blocks costs few system calls and memory stays the
// same whatever the file's size. Size() is taken once at Open: a file that
// is still being written is read as far as it was then.
class FileRecordingSource : public RecordingSource {
public:
    static constexpr size_t kWindowSize = 64 * 1024;

    FileRecordingSource() = default;
    ~FileRecordingSource() override;

    FileRecordingSource(const FileRecordingSource&) = delete;
    FileRecordingSource& operator=(const FileRecordingSource&) = delete;

    // Opens `path` for reading. On failure returns false and sets `error`
    // to a readable reason.
    [[nodiscard]] bool Open(const std::string& path, std::string& error);

    uint64_t Size() const override { return size; }
    [[nodiscard]] bool ReadAt(uint64_t offset, std::span<std::byte> out) override;

private:
    bool ReadDirect(uint64_t offset, std::span<std::byte> out);
    bool FillWindow(uint64_t offset);

    int fd = -1;
    uint64_t size = 0;
    std::array<std::byte, kWindowSize> window{};
    uint64_t windowOffset = 0;
    size_t windowLength = 0;
};

} // namespace zan
