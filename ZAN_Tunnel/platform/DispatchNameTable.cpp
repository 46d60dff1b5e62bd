#include "DispatchNameTable.h"

#include "ComResults.h"

#include <algorithm>
#include <utility>

namespace zan {

namespace {

char16_t FoldCase(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool SameName(std::u16string_view a, std::u16string_view b)
{
    return std::ranges::equal(a, b, [](char16_t x, char16_t y) { return FoldCase(x) == FoldCase(y); });
}

} // namespace

DispatchNameTable::DispatchNameTable(std::vector<DispatchEntry> entries) : entries(std::move(entries)) {}

std::optional<DISPID> DispatchNameTable::IdOfName(std::u16string_view name) const
{
    for (const DispatchEntry& entry : entries) {
        if (SameName(entry.name, name)) {
            return entry.id;
        }
    }
    return std::nullopt;
}

const DispatchEntry* DispatchNameTable::Find(DISPID id) const
{
    for (const DispatchEntry& entry : entries) {
        if (entry.id == id) {
            return &entry;
        }
    }
    return nullptr;
}

HRESULT DispatchNameTable::GetIDsOfNames(const char16_t** names, uint32_t count, DISPID* ids) const
{
    if (count == 0) {
        return S_OK;
    }
    if (names == nullptr || ids == nullptr) {
        return E_POINTER;
    }
    HRESULT hr = S_OK;
    for (uint32_t i = 0; i < count; ++i) {
        std::optional<DISPID> id;
        if (i == 0 && names[0] != nullptr) {
            id = IdOfName(names[0]);
        }
        ids[i] = id.value_or(DISPID_UNKNOWN);
        if (!id) {
            hr = DISP_E_UNKNOWNNAME;
        }
    }
    return hr;
}

} // namespace zan
