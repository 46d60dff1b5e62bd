#pragma once

#include "RecordingSource.h"

namespace zan {

// A recording held in memory. The bytes are not copied and must outlive
// the source.
class MemoryRecordingSource : public RecordingSource {
public:
    explicit MemoryRecordingSource(std::span<const std::byte> bytes) : bytes(bytes) {}

    uint64_t Size() const override { return bytes.size(); }
    [[nodiscard]] bool ReadAt(uint64_t offset, std::span<std::byte> out) override;

private:
    std::span<const std::byte> bytes;
};

} // namespace zan
