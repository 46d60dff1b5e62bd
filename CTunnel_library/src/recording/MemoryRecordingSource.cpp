#include "MemoryRecordingSource.h"

#include <algorithm>

namespace zan {

bool MemoryRecordingSource::ReadAt(uint64_t offset, std::span<std::byte> out)
{
    if (offset > bytes.size() || out.size() > bytes.size() - offset) {
        return false;
    }
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
    return true;
}

} // namespace zan
