#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace zan {

// Raw byte output to the recording file. Every append goes to the kernel at
// once (there is no user-space buffer to flush), so a crash loses at most
// the block being written. A failed append is cut back off the file, which
// therefore always ends on a whole block; when even that fails the writer
// is in error for good and writes nothing more, like a stream whose bad bit
// is set.
class RecordingFileWriter {
public:
    RecordingFileWriter() = default;
    ~RecordingFileWriter();

    RecordingFileWriter(const RecordingFileWriter&) = delete;
    RecordingFileWriter& operator=(const RecordingFileWriter&) = delete;

    // Creates (or truncates) `name` for writing. Closes any earlier file.
    [[nodiscard]] bool Create(const std::string& name);
    void Close();

    bool IsOpen() const { return fd >= 0; }
    // In error: nothing can be written until the next Create.
    bool Failed() const { return failed; }
    // Offset just past the last byte appended.
    uint64_t Position() const { return position; }

    // Appends `first` and then `second` as one unit: either both are in the
    // file afterwards or neither is.
    [[nodiscard]] bool Append(std::span<const std::byte> first, std::span<const std::byte> second = {});
    // Overwrites bytes that were written before, without moving the
    // append position.
    [[nodiscard]] bool WriteAt(uint64_t offset, std::span<const std::byte> bytes);

private:
    bool WriteAll(std::span<const std::byte> first, std::span<const std::byte> second);

    int fd = -1;
    bool failed = false;
    uint64_t position = 0;
};

} // namespace zan
