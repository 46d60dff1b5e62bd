#pragma once

#include "ResultCodes.h"
#include "Variant.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace zan {

// One member of a dispatch interface as its compiled-in description names it.
struct DispatchEntry {
    DISPID id;
    std::u16string_view name;
    std::u16string_view helpText;
};

// Name <-> DISPID lookup for a class that serves IDispatch from a
// compiled-in description. Names match without regard to case, as
// automation callers expect (ASCII letters fold; identifiers are ASCII).
// The entries' texts must outlive the table (string literals do).
class DispatchNameTable {
public:
    explicit DispatchNameTable(std::vector<DispatchEntry> entries);

    // The DISPID of `name`, or nothing when no member has that name.
    std::optional<DISPID> IdOfName(std::u16string_view name) const;
    // The entry of `id`, or null.
    const DispatchEntry* Find(DISPID id) const;
    const std::vector<DispatchEntry>& Entries() const { return entries; }

    // GetIDsOfNames as the platform defines it: names[0] is the member and
    // any further names are its named arguments, which this description does
    // not carry. Every name not found gets DISPID_UNKNOWN and the result is
    // DISP_E_UNKNOWNNAME; null arrays give E_POINTER.
    HRESULT GetIDsOfNames(const char16_t** names, uint32_t count, DISPID* ids) const;

private:
    std::vector<DispatchEntry> entries;
};

} // namespace zan
