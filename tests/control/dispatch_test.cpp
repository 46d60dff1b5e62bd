#include "ComResults.h"
#include "TypeLibrary.h"
#include "control_test_util.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <type_traits>

namespace zan {

namespace {

using namespace controltest;

// One late-bound argument; texts are owned by the argument.
struct Arg {
    Arg(int32_t value) { v.vt = VT_I4; v.lVal = value; }  // NOLINT: implicit on purpose
    Arg(const char* text)                                    // NOLINT
    {
        const std::u16string wide = Utf8ToUtf16(text);
        holder = std::make_shared<BstrOwner>(SysAllocStringView(wide));
        v.vt = VT_BSTR;
        v.bstrVal = holder->Get();
    }
    static Arg Typed(VARTYPE type, int64_t value)
    {
        Arg arg(0);
        arg.v.vt = type;
        arg.v.llVal = value;
        return arg;
    }
    VARIANT v{};
    std::shared_ptr<BstrOwner> holder;  // shared, so arguments can be copied into tables
};

struct Outcome {
    HRESULT hr = S_OK;
    std::string value;  // the result's text, empty when none
    uint32_t argErr = ~0u;
};

std::string ValueText(const VARIANT& v)
{
    switch (v.vt) {
    case VT_BSTR:
        return "s:" + Utf16ToUtf8(BstrView(v.bstrVal));
    case VT_UI1:
        return "u1:" + std::to_string(v.bVal);
    case VT_UI4:
        return "u4:" + std::to_string(v.ulVal);
    case VT_I8:
        return "i8:" + std::to_string(v.llVal);
    case VT_I4:
        return "i4:" + std::to_string(v.lVal);
    default:
        return {};
    }
}

// Invokes `name` on the control with the arguments in call order.
Outcome Call(CZAN_Tunnel& control, const char16_t* name, uint16_t flags, std::vector<Arg> args,
             DISPID expectedId = DISPID_UNKNOWN)
{
    DISPID id = DISPID_UNKNOWN;
    const char16_t* names[] = {name};
    EXPECT_EQ(control.GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    if (expectedId != DISPID_UNKNOWN) {
        EXPECT_EQ(id, expectedId);
    }
    std::vector<VARIANT> reversed;
    for (auto it = args.rbegin(); it != args.rend(); ++it) {
        reversed.push_back(it->v);
    }
    DISPID putId = DISPID_PROPERTYPUT;
    const bool put = flags == DISPATCH_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), put ? &putId : nullptr, static_cast<uint32_t>(reversed.size()), put ? 1u : 0u};
    VARIANT result;
    VariantInit(&result);
    Outcome outcome;
    outcome.hr = control.Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result, nullptr, &outcome.argErr);
    outcome.value = ValueText(result);
    VariantClear(&result);
    return outcome;
}

// What a host can observe of a control's configuration.
struct Observed {
    explicit Observed(CZAN_Tunnel& control) : settings(control.Settings()), started(control.IsStarted()) {}
    bool operator==(const Observed& other) const
    {
        return settings.Fields() == other.settings.Fields() && started == other.started;
    }
    ControlSettings settings;
    bool started;
};

// A getter's outcome, its value written as ValueText writes it.
template <typename T>
Outcome Got(CZAN_Tunnel& control, HRESULT (CZAN_Tunnel::*getter)(T*))
{
    T value{};
    const HRESULT hr = (control.*getter)(&value);
    if constexpr (std::is_same_v<T, BSTR>) {
        return {hr, "s:" + Take(value)};
    } else {
        return {hr, (sizeof(T) == 1 ? "u1:" : "u4:") + std::to_string(value)};
    }
}

// Every member, by name and DISPID, against the direct call.
TEST(ControlDispatch, EveryMemberByNameGivesTheResultOfTheDirectCall)
{
    ShownMessages shown;
    const uint16_t port = FreePort();
    const std::string portText = std::to_string(port);
    struct Case {
        const char16_t* name;
        DISPID id;
        uint16_t flags;
        std::vector<Arg> args;
        std::function<Outcome(CZAN_Tunnel&)> direct;
        bool needsEngine = false;
    };
    const auto plain = [](HRESULT hr) { return Outcome{hr, {}, ~0u}; };
    const std::vector<Case> cases = {
        {u"SetDestinationAddress", DISPID_SetDestinationAddress, DISPATCH_METHOD, {"10.0.0.5", 6000, 3},
         [&](CZAN_Tunnel& c) { return plain(c.SetDestinationAddress(Text("10.0.0.5"), 6000, 3)); }},
        {u"SetDestinationPort", DISPID_SetDestinationPort, DISPATCH_METHOD, {port, 0},
         [&](CZAN_Tunnel& c) { return plain(c.SetDestinationPort(port, 0)); }},
        {u"SetReceiveAddress", DISPID_SetReceiveAddress, DISPATCH_METHOD, {"127.0.0.9"},
         [&](CZAN_Tunnel& c) { return plain(c.SetReceiveAddress(Text("127.0.0.9"))); }},
        {u"AddReceivePort", DISPID_AddReceivePort, DISPATCH_METHOD, {"5004"},
         [&](CZAN_Tunnel& c) { return plain(c.AddReceivePort(5004)); }},
        {u"AddReceivePort", DISPID_AddReceivePort, DISPATCH_METHOD, {70000},
         [&](CZAN_Tunnel& c) { return plain(c.AddReceivePort(70000)); }},
        {u"SetSendAddress", DISPID_SetSendAddress, DISPATCH_METHOD, {"127.0.0.7"},
         [&](CZAN_Tunnel& c) { return plain(c.SetSendAddress(Text("127.0.0.7"))); }},
        {u"SetSourceTag", DISPID_SetSourceTag, DISPATCH_METHOD, {-5},
         [&](CZAN_Tunnel& c) { return plain(c.SetSourceTag(-5)); }},
        {u"SetLogLevel", DISPID_SetLogLevel, DISPATCH_METHOD, {7},
         [&](CZAN_Tunnel& c) { return plain(c.SetLogLevel(7)); }},
        {u"CryptoKey", DISPID_CryptoKey, DISPATCH_PROPERTYPUT, {"a key"},
         [&](CZAN_Tunnel& c) { return plain(c.put_CryptoKey(Text("a key"))); }},
        {u"CryptoKey", DISPID_CryptoKey, DISPATCH_PROPERTYGET, {},
         [&](CZAN_Tunnel& c) { return Got(c, &CZAN_Tunnel::get_CryptoKey); }},
        {u"CryptoType", DISPID_CryptoType, DISPATCH_PROPERTYPUT, {8},
         [&](CZAN_Tunnel& c) { return plain(c.put_CryptoType(8)); }},
        {u"CryptoType", DISPID_CryptoType, DISPATCH_PROPERTYGET | DISPATCH_METHOD, {},
         [&](CZAN_Tunnel& c) { return Got(c, &CZAN_Tunnel::get_CryptoType); }},
        {u"Filename", DISPID_Filename, DISPATCH_PROPERTYPUT, {"/nonexistent/dir/rec.zan"},
         [&](CZAN_Tunnel& c) { return plain(c.put_Filename(Text("/nonexistent/dir/rec.zan"))); }},
        {u"Filename", DISPID_Filename, DISPATCH_PROPERTYGET, {},
         [&](CZAN_Tunnel& c) { return Got(c, &CZAN_Tunnel::get_Filename); }},
        {u"SaveExternalData", DISPID_SaveExternalData, DISPATCH_METHOD, {5004, 3, "abc"},
         [&](CZAN_Tunnel& c) { std::string d = "abc"; return plain(c.SaveExternalData(5004, 3, d.data())); }, true},
        {u"StartRecording", DISPID_StartRecording, DISPATCH_METHOD, {},
         [&](CZAN_Tunnel& c) { return plain(c.StartRecording()); }},
        {u"StartRecording", DISPID_StartRecording, DISPATCH_METHOD, {},
         [&](CZAN_Tunnel& c) { return plain(c.StartRecording()); }, true},
        {u"StopRecording", DISPID_StopRecording, DISPATCH_METHOD, {},
         [&](CZAN_Tunnel& c) { return plain(c.StopRecording()); }, true},
        {u"RecordingModeState", DISPID_RecordingModeState, DISPATCH_METHOD, {},
         [&](CZAN_Tunnel& c) { return Got(c, &CZAN_Tunnel::RecordingModeState); }, true},
        {u"SetHeader", DISPID_SetHeader, DISPATCH_METHOD, {3, "hdr"},
         [&](CZAN_Tunnel& c) { std::string h = "hdr"; return plain(c.SetHeader(3, h.data())); }, true},
        {u"LocalPort", DISPID_LocalPort, DISPATCH_PROPERTYPUT, {7000},
         [&](CZAN_Tunnel& c) { return plain(c.put_LocalPort(7000)); }},
        {u"SetProperties", DISPID_SetProperties, DISPATCH_METHOD, {"ttl", "12"},
         [&](CZAN_Tunnel& c) { return plain(c.SetProperties(Text("ttl"), Text("12"))); }},
        {u"GetProperties", DISPID_GetProperties, DISPATCH_METHOD, {"ttl"},
         [&](CZAN_Tunnel& c) {
             BSTR value = nullptr;
             const HRESULT hr = c.GetProperties(Text("ttl"), &value);
             return Outcome{hr, "s:" + Take(value)};
         }},
        {u"Start", DISPID_Start, DISPATCH_METHOD, {},
         [&](CZAN_Tunnel& c) { return plain(c.Start()); }},
        {u"Stop", DISPID_Stop, DISPATCH_METHOD, {}, [&](CZAN_Tunnel& c) { return plain(c.Stop()); }},
        {u"Clear", DISPID_Clear, DISPATCH_METHOD, {}, [&](CZAN_Tunnel& c) { return plain(c.Clear()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.name));
        Control direct;
        Control late;
        for (Control* control : {&direct, &late}) {
            ASSERT_EQ((*control)->SetDestinationPort(port, 0), S_OK);
            ASSERT_EQ((*control)->SetProperties(Text("receiver_nic"), Text("127.0.0.1")), S_OK);
            if (c.needsEngine) {
                intptr_t factory = 0;
                ASSERT_EQ((*control)->GetSocketStackFactoryInstance(&factory), S_OK);
            }
        }
        const Outcome expected = c.direct(*direct);
        const Observed expectedState(*direct);
        direct.Release();  // frees the tunnel port for the late-bound twin
        const Outcome got = Call(*late, c.name, c.flags, c.args, c.id);
        EXPECT_EQ(got.hr, expected.hr);
        EXPECT_EQ(got.value, expected.value);
        EXPECT_TRUE(Observed(*late) == expectedState);
    }

    // GetSocketStackFactoryInstance returns the full pointer as a 64-bit value.
    Control control;
    const Outcome factory = Call(*control, u"GetSocketStackFactoryInstance", DISPATCH_METHOD, {});
    intptr_t direct = 0;
    ASSERT_EQ(control->GetSocketStackFactoryInstance(&direct), S_OK);
    EXPECT_EQ(factory.hr, S_OK);
    EXPECT_EQ(factory.value, "i8:" + std::to_string(direct));
}

// The argument count rule is the same for every member the type library
// describes, whatever its kind.
TEST(ControlDispatch, AWrongArgumentCountIsTheSameErrorForEveryMember)
{
    Control control;
    ITypeInfo& info = ZanTunnelTypeInfo();
    uint32_t count = 0;
    ASSERT_EQ(info.GetFuncCount(&count), S_OK);
    ASSERT_EQ(count, 25u);
    const Observed before(*control);
    for (uint32_t i = 0; i < count; ++i) {
        FUNCDESC desc{};
        ASSERT_EQ(info.GetFuncDesc(i, &desc), S_OK);
        for (const int delta : {-1, 1, 2}) {
            const int args = desc.cParams + delta;
            if (args < 0) {
                continue;
            }
            std::vector<VARIANT> given(static_cast<size_t>(args));
            for (VARIANT& v : given) {
                v.vt = VT_I4;
                v.lVal = 1;
            }
            DISPPARAMS params{given.data(), nullptr, static_cast<uint32_t>(args), 0};
            EXPECT_EQ(control->Invoke(desc.memid, IID_NULL, 0, desc.invkind, &params, nullptr, nullptr, nullptr),
                      DISP_E_BADPARAMCOUNT)
                << "member " << desc.memid << " kind " << desc.invkind << " with " << args << " arguments";
        }
    }
    EXPECT_TRUE(Observed(*control) == before) << "a refused call changes nothing";
}

TEST(ControlDispatch, ArgumentsThatDoNotConvertAreRefusedWithTheirPosition)
{
    Control control;
    const Observed before(*control);
    const struct {
        const char16_t* name;
        uint16_t flags;
        std::vector<Arg> args;
        HRESULT expected;
        uint32_t argErr;  // index in rgvarg: the last argument is 0
    } cases[] = {
        {u"SetDestinationAddress", DISPATCH_METHOD, {"10.0.0.1", "eighty", 0}, DISP_E_TYPEMISMATCH, 1},
        {u"SetDestinationAddress", DISPATCH_METHOD, {"10.0.0.1", 80, 256}, DISP_E_OVERFLOW, 0},
        {u"SetDestinationPort", DISPATCH_METHOD, {-1, 0}, DISP_E_OVERFLOW, 1},
        {u"SetDestinationPort", DISPATCH_METHOD, {"99999999999999999999", 0}, DISP_E_OVERFLOW, 1},
        {u"SetSourceTag", DISPATCH_METHOD, {Arg::Typed(VT_I8, int64_t{1} << 40)}, DISP_E_OVERFLOW, 0},
        {u"SetSourceTag", DISPATCH_METHOD, {"12x"}, DISP_E_TYPEMISMATCH, 0},
        {u"AddReceivePort", DISPATCH_METHOD, {Arg::Typed(0x7777, 1)}, DISP_E_TYPEMISMATCH, 0},
        {u"SetReceiveAddress", DISPATCH_METHOD, {Arg::Typed(VT_BSTR | VT_BYREF, 0)}, DISP_E_TYPEMISMATCH, 0},
        {u"SetHeader", DISPATCH_METHOD, {"three", "hdr"}, DISP_E_TYPEMISMATCH, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.name));
        const Outcome got = Call(*control, c.name, c.flags, c.args);
        EXPECT_EQ(got.hr, c.expected);
        EXPECT_EQ(got.argErr, c.argErr);
    }
    EXPECT_TRUE(Observed(*control) == before);

    // Numbers and texts convert both ways, with surrounding spaces allowed.
    EXPECT_EQ(Call(*control, u"SetSourceTag", DISPATCH_METHOD, {" -42 "}).hr, S_OK);
    EXPECT_EQ(control->Settings().sourceTag, -42);
    EXPECT_EQ(Call(*control, u"SetSendAddress", DISPATCH_METHOD, {1234}).hr, S_OK);
    EXPECT_EQ(*control->Settings().sendAddress, u"1234");
    EXPECT_EQ(Call(*control, u"SetLogLevel", DISPATCH_METHOD, {Arg::Typed(VT_EMPTY, 0)}).hr, S_OK);
    EXPECT_EQ(control->Settings().logLevel, 0u);
}

TEST(ControlDispatch, CallsThatNameNoMemberOrTheWrongKind)
{
    Control control;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT one;
    one.vt = VT_I4;
    one.lVal = 1;
    DISPPARAMS oneArg{&one, nullptr, 1, 0};
    DISPID named = 0;
    DISPPARAMS namedArg{&one, &named, 1, 1};
    const IID other{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};

    DISPPARAMS broken{nullptr, nullptr, 2, 0};
    const struct {
        DISPID id;
        uint16_t kind;
        DISPPARAMS* params;
        IID iid;
        HRESULT expected;
    } cases[] = {
        {99, DISPATCH_METHOD, &none, IID_NULL, DISP_E_MEMBERNOTFOUND},
        {DISPID_LocalPort, DISPATCH_PROPERTYGET, &none, IID_NULL, DISP_E_MEMBERNOTFOUND},  // no get
        {DISPID_Start, DISPATCH_PROPERTYPUT, &oneArg, IID_NULL, DISP_E_MEMBERNOTFOUND},    // not a property
        {DISPID_AddReceivePort, DISPATCH_METHOD, &namedArg, IID_NULL, DISP_E_NONAMEDARGS},
        {DISPID_Stop, DISPATCH_METHOD, &none, other, DISP_E_UNKNOWNINTERFACE},
        {DISPID_SetDestinationPort, DISPATCH_METHOD, &broken, IID_NULL, E_POINTER},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(control->Invoke(c.id, c.iid, 0, c.kind, c.params, nullptr, nullptr, nullptr), c.expected) << c.id;
    }

    const char16_t* names[] = {u"SETPROPERTIES", u"newval", u"prop", u"nothing"};
    DISPID ids[4] = {};
    EXPECT_EQ(control->GetIDsOfNames(IID_NULL, names, 4, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(std::vector<DISPID>(ids, ids + 4), (std::vector<DISPID>{DISPID_SetProperties, 1, 0, DISPID_UNKNOWN}));
    const char16_t* unknown[] = {u"Launch"};
    EXPECT_EQ(control->GetIDsOfNames(IID_NULL, unknown, 1, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
}

TEST(ControlDispatch, TheTypeInformationDescribesTheInterface)
{
    Control control;
    uint32_t count = 0;
    EXPECT_EQ(control->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    void* out = nullptr;
    EXPECT_NE(control->GetTypeInfo(1, 0, &out), S_OK);
    ASSERT_EQ(control->GetTypeInfo(0, 0, &out), S_OK);
    auto* info = static_cast<ITypeInfo*>(out);

    IID iid{};
    EXPECT_EQ(info->GetGuid(&iid), S_OK);
    EXPECT_TRUE(iid == IID_IZAN_Tunnel);
    BSTR name = nullptr;
    BSTR help = nullptr;
    ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, &name, &help), S_OK);
    EXPECT_EQ(Take(name), "IZAN_Tunnel");
    SysFreeString(help);
    EXPECT_EQ(info->GetDocumentation(77, &name, &help), TYPE_E_ELEMENTNOTFOUND);

    BSTR names[4] = {};
    uint32_t got = 0;
    ASSERT_EQ(info->GetNames(DISPID_SetDestinationAddress, names, 4, &got), S_OK);
    std::string all;
    for (uint32_t i = 0; i < got; ++i) {
        all += Take(names[i]) + " ";
    }
    EXPECT_EQ(all, "SetDestinationAddress address port mode ");

    // Parameter types come from the methods' own signatures.
    std::string types;
    FUNCDESC desc{};
    for (uint32_t i = 0; info->GetFuncDesc(i, &desc) == S_OK; ++i) {
        if (desc.memid == DISPID_SetDestinationAddress || desc.memid == DISPID_GetSocketStackFactoryInstance) {
            types += std::to_string(desc.cParams) + ":";
            for (int p = 0; p < desc.cParams; ++p) {
                types += std::to_string(desc.paramTypes[p]) + ",";
            }
            types += "->" + std::to_string(desc.returnType) + " ";
        }
    }
    const std::string pointer = std::to_string(ZanTunnelTypeLibrary().pointerAlias.type);
    EXPECT_EQ(types, "3:" + std::to_string(VT_BSTR) + "," + std::to_string(VT_UI4) + "," + std::to_string(VT_UI1) +
                         ",->" + std::to_string(VT_EMPTY) + " 0:->" + pointer + " ");
    EXPECT_EQ(info->GetFuncDesc(25, &desc), TYPE_E_ELEMENTNOTFOUND);
    info->Release();
}

} // namespace

} // namespace zan
