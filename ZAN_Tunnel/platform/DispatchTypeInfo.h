#pragma once

#include "Bstr.h"
#include "ComResults.h"
#include "ITypeInfo.h"
#include "Variant.h"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace zan {

// IDispatch served from a compiled-in interface description.
//
//   host -> IDispatch::Invoke(dispid, flags, args)      (the object)
//        -> DispatchTypeInfo::Invoke(object, ...)       picks the member by
//           DISPID and call kind, checks the argument count
//        -> DispatchMember::call                         converts each argument
//           to the parameter's type and calls the object's method.
//
// The same rules hold for every member: an unknown DISPID or a call kind
// the member does not have is DISP_E_MEMBERNOTFOUND; named arguments other
// than a property put's value are DISP_E_NONAMEDARGS; a wrong number of
// arguments is DISP_E_BADPARAMCOUNT; an argument that cannot be converted
// is DISP_E_TYPEMISMATCH, or DISP_E_OVERFLOW when it is a number out of the
// parameter's range, with *argErr its index in DISPPARAMS::rgvarg. Numbers
// convert to each other and to and from decimal text; VT_EMPTY converts to
// 0 or the empty text. A member's own result is returned as it is.

struct DispatchParam {
    VARTYPE type;
    bool out;  // the member's return value (the last parameter)
};

struct DispatchMember {
    using Call = HRESULT (*)(void* instance, const DISPPARAMS& params, VARIANT* result, uint32_t* argErr);

    DISPID id;
    INVOKEKIND kind;
    std::u16string_view name;
    std::u16string_view help;
    std::vector<std::u16string_view> paramNames;  // every parameter, the return value's too
    std::vector<DispatchParam> params;
    Call call = nullptr;

    uint16_t InCount() const;
    VARTYPE ReturnType() const;
};

struct DispatchInterface {
    std::u16string_view name;
    IID iid;
    std::u16string_view help;
    std::vector<DispatchMember> members;
};

// The type information of one described interface. Lives as long as the
// description (static objects); its reference count does nothing.
class DispatchTypeInfo final : public ITypeInfo {
public:
    explicit DispatchTypeInfo(const DispatchInterface& description) : description(description) {}

    HRESULT QueryInterface(const IID& iid, void** out) override;
    uint32_t AddRef() override { return 1; }
    uint32_t Release() override { return 1; }

    HRESULT GetGuid(IID* iid) override;
    HRESULT GetFuncCount(uint32_t* count) override;
    HRESULT GetFuncDesc(uint32_t index, FUNCDESC* desc) override;
    HRESULT GetDocumentation(DISPID memid, BSTR* name, BSTR* docString) override;
    HRESULT GetNames(DISPID memid, BSTR* names, uint32_t max, uint32_t* count) override;
    HRESULT GetIDsOfNames(const char16_t** names, uint32_t count, DISPID* ids) override;
    HRESULT Invoke(void* instance, DISPID memid, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                   uint32_t* argErr) override;

    const DispatchInterface& Description() const { return description; }

private:
    const DispatchMember* Select(DISPID memid, uint16_t flags) const;

    const DispatchInterface& description;
};

// ---------------------------------------------------------------------------
// Argument conversion

// The integer an argument converts to within [low, high].
HRESULT ArgumentToInteger(const VARIANT& arg, int64_t low, int64_t high, int64_t& out);
// The text an argument converts to: `view` is the argument's own string
// (or `owned` when one had to be made).
HRESULT ArgumentToText(const VARIANT& arg, BstrOwner& owned, BSTR& view);

namespace dispatch {

template <typename T>
struct Param;

template <typename T>
    requires std::is_integral_v<T>
struct Param<T> {
    static constexpr VARTYPE kType = std::is_same_v<T, uint8_t>    ? VT_UI1
                                     : std::is_same_v<T, uint32_t> ? VT_UI4
                                     : std::is_same_v<T, int32_t>  ? VT_I4
                                                                   : VT_I8;
    static constexpr bool kOut = false;
    HRESULT From(const VARIANT& arg)
    {
        int64_t converted = 0;
        const HRESULT hr = ArgumentToInteger(arg, std::numeric_limits<T>::min(),
                                             static_cast<int64_t>(std::numeric_limits<T>::max()), converted);
        value = static_cast<T>(converted);
        return hr;
    }
    T Get() { return value; }
    T value{};
};

template <>
struct Param<BSTR> {
    static constexpr VARTYPE kType = VT_BSTR;
    static constexpr bool kOut = false;
    HRESULT From(const VARIANT& arg) { return ArgumentToText(arg, owned, view); }
    BSTR Get() { return view; }
    BstrOwner owned;
    BSTR view = nullptr;
};

// A CHAR* buffer: the bytes of a text argument (UTF-8).
template <>
struct Param<char*> {
    static constexpr VARTYPE kType = VT_I1 | VT_BYREF;
    static constexpr bool kOut = false;
    HRESULT From(const VARIANT& arg);
    char* Get() { return bytes.data(); }
    std::string bytes;
};

template <typename T>
    requires std::is_integral_v<T>
struct Param<T*> {
    static constexpr VARTYPE kType = Param<T>::kType;
    static constexpr bool kOut = true;
    T* Get() { return &value; }
    void Store(VARIANT& result)
    {
        result.vt = kType;
        if constexpr (kType == VT_UI1) {
            result.bVal = value;
        } else if constexpr (kType == VT_UI4) {
            result.ulVal = value;
        } else if constexpr (kType == VT_I4) {
            result.lVal = value;
        } else {
            result.llVal = static_cast<int64_t>(value);
        }
    }
    T value{};
};

template <>
struct Param<BSTR*> {
    static constexpr VARTYPE kType = VT_BSTR;
    static constexpr bool kOut = true;
    BSTR* Get() { return text.Receive(); }
    void Store(VARIANT& result)
    {
        result.vt = VT_BSTR;
        result.bstrVal = text.Detach();
    }
    BstrOwner text;
};

template <auto Method>
struct Binding;

// Binds an interface method: its parameter types come from its signature.
template <class Interface, typename... Args, HRESULT (Interface::*Method)(Args...)>
struct Binding<Method> {
    using Holders = std::tuple<Param<Args>...>;
    static constexpr uint32_t kInCount = ((Param<Args>::kOut ? 0u : 1u) + ... + 0u);

    static std::vector<DispatchParam> Params() { return {DispatchParam{Param<Args>::kType, Param<Args>::kOut}...}; }

    static HRESULT Call(void* instance, const DISPPARAMS& params, VARIANT* result, uint32_t* argErr)
    {
        Holders holders;
        HRESULT hr = Convert(holders, params, argErr, std::index_sequence_for<Args...>{});
        if (hr < 0) {
            return hr;
        }
        LimitLengthsToBuffers(holders, std::index_sequence_for<Args...>{});
        hr = std::apply([&](auto&... held) { return (static_cast<Interface*>(instance)->*Method)(held.Get()...); },
                        holders);
        if (result != nullptr) {
            VariantInit(result);
            StoreOut(holders, *result, std::index_sequence_for<Args...>{});
        }
        return hr;
    }

private:
    template <size_t... I>
    static HRESULT Convert(Holders& holders, const DISPPARAMS& params, uint32_t* argErr, std::index_sequence<I...>)
    {
        HRESULT hr = S_OK;
        uint32_t position = 0;  // the next argument in call order
        [[maybe_unused]] const auto one = [&](auto& holder) {
            using H = std::remove_reference_t<decltype(holder)>;
            if constexpr (!H::kOut) {
                if (hr >= 0) {
                    const uint32_t index = params.cArgs - 1 - position;
                    hr = holder.From(params.rgvarg[index]);
                    if (hr < 0 && argErr != nullptr) {
                        *argErr = index;
                    }
                }
                ++position;
            }
        };
        (one(std::get<I>(holders)), ...);
        return hr;
    }

    // A buffer argument is preceded by its length: the length handed on
    // never exceeds the bytes the caller gave.
    template <size_t... I>
    static void LimitLengthsToBuffers(Holders& holders, std::index_sequence<I...>)
    {
        (LimitOne<I>(holders), ...);
    }

    template <size_t I>
    static void LimitOne(Holders& holders)
    {
        if constexpr (I > 0) {
            using This = std::tuple_element_t<I, Holders>;
            using Before = std::tuple_element_t<I - 1, Holders>;
            if constexpr (std::is_same_v<This, Param<char*>> && std::is_same_v<Before, Param<int32_t>>) {
                auto& length = std::get<I - 1>(holders).value;
                const auto available = std::get<I>(holders).bytes.size();
                if (length > 0 && static_cast<size_t>(length) > available) {
                    length = static_cast<int32_t>(available);
                }
            }
        }
    }

    template <size_t... I>
    static void StoreOut(Holders& holders, VARIANT& result, std::index_sequence<I...>)
    {
        [[maybe_unused]] const auto one = [&](auto& holder) {
            using H = std::remove_reference_t<decltype(holder)>;
            if constexpr (H::kOut) {
                holder.Store(result);
            }
        };
        (one(std::get<I>(holders)), ...);
    }
};

} // namespace dispatch

// The description of one method or property accessor of an interface.
template <auto Method>
DispatchMember DescribeMember(DISPID id, INVOKEKIND kind, std::u16string_view name, std::u16string_view help,
                              std::vector<std::u16string_view> paramNames)
{
    using B = dispatch::Binding<Method>;
    return DispatchMember{id, kind, name, help, std::move(paramNames), B::Params(), &B::Call};
}

} // namespace zan
