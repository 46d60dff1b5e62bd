#include "TypeLibrary.h"

#include "IZAN_Tunnel.h"

namespace zan {

namespace {

constexpr INVOKEKIND kMethod = DISPATCH_METHOD;
constexpr INVOKEKIND kGet = DISPATCH_PROPERTYGET;
constexpr INVOKEKIND kPut = DISPATCH_PROPERTYPUT;

const DispatchInterface& ControlInterface()
{
    using I = IZAN_Tunnel;
    static const DispatchInterface description{
        u"IZAN_Tunnel",
        IID_IZAN_Tunnel,
        u"IZAN_Tunnel Interface",
        {
            DescribeMember<&I::Start>(DISPID_Start, kMethod, u"Start", u"method Start", {}),
            DescribeMember<&I::Stop>(DISPID_Stop, kMethod, u"Stop", u"method Stop", {}),
            DescribeMember<&I::Clear>(DISPID_Clear, kMethod, u"Clear", u"method Clear", {}),
            DescribeMember<&I::SetDestinationAddress>(DISPID_SetDestinationAddress, kMethod,
                                                      u"SetDestinationAddress", u"method SetDestinationAddress",
                                                      {u"address", u"port", u"mode"}),
            DescribeMember<&I::SetDestinationPort>(DISPID_SetDestinationPort, kMethod, u"SetDestinationPort",
                                                   u"method SetDestinationPort", {u"port", u"mode"}),
            DescribeMember<&I::SetReceiveAddress>(DISPID_SetReceiveAddress, kMethod, u"SetReceiveAddress",
                                                  u"method SetReceiveAddress", {u"address"}),
            DescribeMember<&I::AddReceivePort>(DISPID_AddReceivePort, kMethod, u"AddReceivePort",
                                               u"method AddReceivePort", {u"port"}),
            DescribeMember<&I::SetSendAddress>(DISPID_SetSendAddress, kMethod, u"SetSendAddress",
                                               u"method SetSendAddress", {u"address"}),
            DescribeMember<&I::SetSourceTag>(DISPID_SetSourceTag, kMethod, u"SetSourceTag", u"method SetSourceTag",
                                             {u"sourceTag"}),
            DescribeMember<&I::SetLogLevel>(DISPID_SetLogLevel, kMethod, u"SetLogLevel", u"method SetLogLevel",
                                            {u"level"}),
            DescribeMember<&I::get_CryptoKey>(DISPID_CryptoKey, kGet, u"CryptoKey", u"property CryptoKey",
                                              {u"pVal"}),
            DescribeMember<&I::put_CryptoKey>(DISPID_CryptoKey, kPut, u"CryptoKey", u"property CryptoKey",
                                              {u"newVal"}),
            DescribeMember<&I::get_CryptoType>(DISPID_CryptoType, kGet, u"CryptoType", u"property CryptoType",
                                               {u"pVal"}),
            DescribeMember<&I::put_CryptoType>(DISPID_CryptoType, kPut, u"CryptoType", u"property CryptoType",
                                               {u"newVal"}),
            DescribeMember<&I::GetSocketStackFactoryInstance>(
                DISPID_GetSocketStackFactoryInstance, kMethod, u"GetSocketStackFactoryInstance",
                u"method GetSocketStackFactoryInstance", {u"instance"}),
            DescribeMember<&I::get_Filename>(DISPID_Filename, kGet, u"Filename", u"property Filename", {u"pVal"}),
            DescribeMember<&I::put_Filename>(DISPID_Filename, kPut, u"Filename", u"property Filename", {u"newVal"}),
            DescribeMember<&I::SaveExternalData>(DISPID_SaveExternalData, kMethod, u"SaveExternalData",
                                                 u"method SaveExternalData", {u"port", u"len", u"buff"}),
            DescribeMember<&I::StartRecording>(DISPID_StartRecording, kMethod, u"StartRecording",
                                               u"method StartRecording", {}),
            DescribeMember<&I::StopRecording>(DISPID_StopRecording, kMethod, u"StopRecording",
                                              u"method StopRecording", {}),
            DescribeMember<&I::RecordingModeState>(DISPID_RecordingModeState, kMethod, u"RecordingModeState",
                                                   u"method RecordingModeState", {u"state"}),
            DescribeMember<&I::SetHeader>(DISPID_SetHeader, kMethod, u"SetHeader", u"method SetHeader",
                                          {u"len", u"header"}),
            DescribeMember<&I::put_LocalPort>(DISPID_LocalPort, kPut, u"LocalPort", u"property LocalPort",
                                              {u"newVal"}),
            DescribeMember<&I::SetProperties>(DISPID_SetProperties, kMethod, u"SetProperties",
                                              u"method set properties", {u"prop", u"newVal"}),
            DescribeMember<&I::GetProperties>(DISPID_GetProperties, kMethod, u"GetProperties",
                                              u"method get properties", {u"prop", u"pVal"}),
        },
    };
    return description;
}

// Events are raised by the control, not called on it: described, not bound.
DispatchMember Event(DISPID id, std::u16string_view name, std::u16string_view help,
                     std::vector<std::u16string_view> paramNames, std::vector<DispatchParam> params)
{
    return DispatchMember{id, kMethod, name, help, std::move(paramNames), std::move(params), nullptr};
}

const DispatchInterface& EventsInterface()
{
    static const DispatchInterface description{
        u"_IZAN_TunnelEvents",
        DIID__IZAN_TunnelEvents,
        u"_IZAN_TunnelEvents Interface",
        {
            Event(DISPID_LogEvent, u"LogEvent", u"method LogEvent", {u"msg"}, {{VT_BSTR | VT_BYREF, false}}),
            Event(DISPID_ErrorEvent, u"ErrorEvent", u"method ErrorEvent", {u"msg", u"errorcode"},
                  {{VT_BSTR | VT_BYREF, false}, {VT_I4, false}}),
            Event(DISPID_ConnectEvent, u"ConnectEvent", u"method ConnectEvent", {}, {}),
            Event(DISPID_DisconnectEvent, u"DisconnectEvent", u"method DisconnectEvent", {u"code"},
                  {{VT_I4, false}}),
            Event(DISPID_StartEvent, u"StartEvent", u"method StartEvent", {}, {}),
            Event(DISPID_StopEvent, u"StopEvent", u"method StopEvent", {}, {}),
        },
    };
    return description;
}

} // namespace

const TypeLibraryDescription& ZanTunnelTypeLibrary()
{
    static const TypeLibraryDescription library{
        u"ZAN_TunnelLib",
        LIBID_ZAN_TunnelLib,
        1,
        0,
        0x409,
        u"ZAN_Tunnel 1.0 Type Library",
        ControlInterface(),
        EventsInterface(),
        {u"ZAN_Tunnel", CLSID_ZAN_Tunnel, u"ZAN_Tunnel Class", IID_IZAN_Tunnel, DIID__IZAN_TunnelEvents},
        {u"LONG_PTR", sizeof(intptr_t) == 8 ? VT_I8 : VT_I4},
    };
    return library;
}

DispatchTypeInfo& ZanTunnelTypeInfo()
{
    static DispatchTypeInfo info(ZanTunnelTypeLibrary().control);
    return info;
}

DispatchTypeInfo& ZanTunnelEventsTypeInfo()
{
    static DispatchTypeInfo info(ZanTunnelTypeLibrary().events);
    return info;
}

} // namespace zan
