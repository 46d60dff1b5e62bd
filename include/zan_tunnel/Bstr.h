#pragma once

#include "ZanExport.h"

#include <cstdint>
#include <string_view>

namespace zan {

// Automation strings: UTF-16 text preceded by its length in bytes (a 32-bit
// word just before the first character) and followed by a zero character.
// The length prefix lets a BSTR hold zero characters inside; a null BSTR is
// a valid value of its own, distinct from the empty string.
using BSTR = char16_t*;

// A copy of the zero-terminated `text`; null in gives null out. Throws
// ComException(E_OUTOFMEMORY) when no memory is left.
ZAN_EXPORT BSTR SysAllocString(const char16_t* text);
// A string of `length` characters copied from `text`, or all zero when
// `text` is null. Throws ComException(E_OUTOFMEMORY) when no memory is left
// or the length cannot be represented.
ZAN_EXPORT BSTR SysAllocStringLen(const char16_t* text, uint32_t length);
// Frees a string made by the functions above; null is ignored.
ZAN_EXPORT void SysFreeString(BSTR text);
// The number of characters (0 for null).
ZAN_EXPORT uint32_t SysStringLen(BSTR text);
// The number of bytes (0 for null).
ZAN_EXPORT uint32_t SysStringByteLen(BSTR text);

// The characters of `text` (empty for null), embedded zeros included.
ZAN_EXPORT std::u16string_view BstrView(BSTR text);
// SysAllocStringLen over a view; an empty view gives an empty, non-null string.
ZAN_EXPORT BSTR SysAllocStringView(std::u16string_view text);

// Owns one BSTR and frees it when it goes. Move-only.
class ZAN_EXPORT BstrOwner {
public:
    BstrOwner() = default;
    explicit BstrOwner(BSTR owned) : text(owned) {}
    ~BstrOwner() { SysFreeString(text); }

    BstrOwner(BstrOwner&& other) noexcept : text(other.Detach()) {}
    BstrOwner& operator=(BstrOwner&& other) noexcept;
    BstrOwner(const BstrOwner&) = delete;
    BstrOwner& operator=(const BstrOwner&) = delete;

    BSTR Get() const { return text; }
    // Frees the string now; the owner holds null afterwards.
    void Release();
    // Takes ownership of `owned`, freeing the string held before.
    void Attach(BSTR owned);
    // Gives the string up to the caller, who must free it; holds null after.
    BSTR Detach();
    // For out-parameters: frees the current string and returns the slot that
    // the callee fills.
    BSTR* Receive();

private:
    BSTR text = nullptr;
};

} // namespace zan
