#include "SystemMessages.h"

#include "ComResults.h"
#include "TextConversion.h"

#include <cstring>

namespace zan {

namespace {

struct CodeText {
    HRESULT code;
    const char16_t* text;
};

constexpr CodeText kTexts[] = {
    {S_OK, u"The operation completed successfully."},
    {E_NOTIMPL, u"The operation is not implemented."},
    {E_NOINTERFACE, u"The object does not support the requested interface."},
    {E_POINTER, u"A required pointer is null."},
    {E_FAIL, u"The operation failed."},
    {E_UNEXPECTED, u"An unexpected failure occurred."},
    {E_OUTOFMEMORY, u"Not enough memory is available to complete the operation."},
    {E_INVALIDARG, u"The parameter is incorrect."},
    {CLASS_E_CLASSNOTAVAILABLE, u"The class is not available from this module."},
    {RPC_E_DISCONNECTED, u"The object's thread no longer accepts calls."},
    {CONNECT_E_NOCONNECTION, u"There is no connection with this cookie."},
    {CONNECT_E_ADVISELIMIT, u"No further connections can be made."},
    {CONNECT_E_CANNOTCONNECT, u"The sink does not support the event interface."},
    {DISP_E_UNKNOWNINTERFACE, u"Unknown interface."},
    {DISP_E_MEMBERNOTFOUND, u"Member not found."},
    {DISP_E_PARAMNOTFOUND, u"Parameter not found."},
    {DISP_E_TYPEMISMATCH, u"Type mismatch."},
    {DISP_E_UNKNOWNNAME, u"Unknown name."},
    {DISP_E_BADVARTYPE, u"Bad variable type."},
    {DISP_E_EXCEPTION, u"Exception occurred."},
    {DISP_E_BADPARAMCOUNT, u"Invalid number of parameters."},
    {DISP_E_PARAMNOTOPTIONAL, u"Parameter not optional."},
    {DISP_E_NONAMEDARGS, u"Does not support named arguments."},
    {DISP_E_OVERFLOW, u"Out of present range."},
    {TYPE_E_ELEMENTNOTFOUND, u"Element not found."},
    {CLASS_E_NOAGGREGATION, u"Class does not support aggregation."},
    {REGDB_E_READREGDB, u"Could not read key from registry."},
    {REGDB_E_WRITEREGDB, u"Could not write key to registry."},
    {REGDB_E_INVALIDVALUE, u"Invalid value for registry."},
    {REGDB_E_CLASSNOTREG, u"Class not registered."},
    {CO_E_CLASSSTRING, u"Invalid class string."},
    {CO_E_DLLNOTFOUND, u"The module of the class could not be found."},
    {CO_E_ERRORINDLL, u"The module of the class is not a valid component module."},
};

// errno values are small and positive; HRESULT failures are negative.
constexpr HRESULT kLargestErrno = 4095;

} // namespace

std::u16string SystemMessageText(HRESULT code)
{
    for (const CodeText& entry : kTexts) {
        if (entry.code == code) {
            return std::u16string(entry.text) + u"\n";
        }
    }
    if (code > 0 && code <= kLargestErrno) {
        // Not translated and thread-safe; null for numbers the C library
        // does not know.
        if (const char* text = strerrordesc_np(code)) {
            return Utf8ToUtf16(text) + u"\n";
        }
    }
    return {};
}

} // namespace zan
