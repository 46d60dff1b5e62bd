#include "Bstr.h"

#include "ComException.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace zan {

namespace {

// The prefix is one 32-bit byte count; the block also holds the terminator.
constexpr size_t kPrefixBytes = sizeof(uint32_t);
constexpr uint32_t kMaxLength =
    (std::numeric_limits<uint32_t>::max() - kPrefixBytes - sizeof(char16_t)) / sizeof(char16_t);

uint32_t* PrefixOf(BSTR text)
{
    return reinterpret_cast<uint32_t*>(reinterpret_cast<unsigned char*>(text) - kPrefixBytes);
}

} // namespace

BSTR SysAllocString(const char16_t* text)
{
    if (text == nullptr) {
        return nullptr;
    }
    return SysAllocStringView(std::u16string_view(text));
}

BSTR SysAllocStringLen(const char16_t* text, uint32_t length)
{
    if (length > kMaxLength) {
        throw ComException(E_OUTOFMEMORY);
    }
    const size_t bytes = size_t{length} * sizeof(char16_t);
    auto* block = static_cast<unsigned char*>(std::malloc(kPrefixBytes + bytes + sizeof(char16_t)));
    if (block == nullptr) {
        throw ComException(E_OUTOFMEMORY);
    }
    const auto byteCount = static_cast<uint32_t>(bytes);
    std::memcpy(block, &byteCount, kPrefixBytes);
    auto* chars = reinterpret_cast<char16_t*>(block + kPrefixBytes);
    if (text != nullptr) {
        std::memcpy(chars, text, bytes);
    } else {
        std::memset(chars, 0, bytes);
    }
    chars[length] = u'\0';
    return chars;
}

void SysFreeString(BSTR text)
{
    if (text != nullptr) {
        std::free(PrefixOf(text));
    }
}

uint32_t SysStringByteLen(BSTR text)
{
    if (text == nullptr) {
        return 0;
    }
    uint32_t bytes = 0;
    std::memcpy(&bytes, PrefixOf(text), kPrefixBytes);
    return bytes;
}

uint32_t SysStringLen(BSTR text)
{
    return SysStringByteLen(text) / sizeof(char16_t);
}

std::u16string_view BstrView(BSTR text)
{
    if (text == nullptr) {
        return {};
    }
    return {text, SysStringLen(text)};
}

BSTR SysAllocStringView(std::u16string_view text)
{
    if (text.size() > kMaxLength) {
        throw ComException(E_OUTOFMEMORY);
    }
    // A null data pointer would ask for zeroed characters; an empty view
    // copies nothing either way.
    return SysAllocStringLen(text.empty() ? u"" : text.data(), static_cast<uint32_t>(text.size()));
}

BstrOwner& BstrOwner::operator=(BstrOwner&& other) noexcept
{
    if (this != &other) {
        Attach(other.Detach());
    }
    return *this;
}

void BstrOwner::Release()
{
    SysFreeString(text);
    text = nullptr;
}

void BstrOwner::Attach(BSTR owned)
{
    if (owned != text) {
        SysFreeString(text);
    }
    text = owned;
}

BSTR BstrOwner::Detach()
{
    BSTR out = text;
    text = nullptr;
    return out;
}

BSTR* BstrOwner::Receive()
{
    Release();
    return &text;
}

} // namespace zan
