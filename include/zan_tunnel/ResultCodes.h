#pragma once

#include <cstdint>

namespace zan {

// The module's result codes: the automation names and values its callers
// already use, as signed 32-bit integers. Failure codes are negative.
using HRESULT = int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);

// A stream transfer whose system I/O call failed or found the stream closed,
// as distinct from E_FAIL for a missing socket or a failed wait.
inline constexpr int32_t IoFailure = -123;

} // namespace zan
