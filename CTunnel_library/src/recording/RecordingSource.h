#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zan {

// Random-access bytes of a recording for the reader: a file on disk or a
// block of memory (tests, the fuzzer). The reader asks only for ranges it
// has checked against Size(), so a source never has to guess at lengths.
class RecordingSource {
public:
    virtual ~RecordingSource() = default;

    virtual uint64_t Size() const = 0;
    // Fills `out` from `offset`; false when the range is not all there or
    // the read failed.
    [[nodiscard]] virtual bool ReadAt(uint64_t offset, std::span<std::byte> out) = 0;
};

} // namespace zan
