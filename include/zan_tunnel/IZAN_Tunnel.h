#pragma once

#include "Bstr.h"
#include "ComBase.h"
#include "IDispatch.h"
#include "ResultCodes.h"

#include <cstdint>

namespace zan {

// The control's dual automation interface. The virtual slot order after
// IDispatch is the contract with hosts: do not reorder, insert or remove.
class IZAN_Tunnel : public IDispatch {
public:
    virtual HRESULT Start() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT Clear() = 0;
    virtual HRESULT SetDestinationAddress(BSTR address, uint32_t port, uint8_t mode) = 0;
    virtual HRESULT SetDestinationPort(uint32_t port, uint8_t mode) = 0;
    virtual HRESULT SetReceiveAddress(BSTR address) = 0;
    virtual HRESULT AddReceivePort(uint32_t port) = 0;
    virtual HRESULT SetSendAddress(BSTR address) = 0;
    virtual HRESULT SetSourceTag(int32_t sourceTag) = 0;
    virtual HRESULT SetLogLevel(uint8_t level) = 0;
    virtual HRESULT get_CryptoKey(BSTR* pVal) = 0;
    virtual HRESULT put_CryptoKey(BSTR newVal) = 0;
    virtual HRESULT get_CryptoType(uint32_t* pVal) = 0;
    virtual HRESULT put_CryptoType(uint32_t newVal) = 0;
    virtual HRESULT GetSocketStackFactoryInstance(intptr_t* instance) = 0;
    virtual HRESULT get_Filename(BSTR* pVal) = 0;
    virtual HRESULT put_Filename(BSTR newVal) = 0;
    virtual HRESULT SaveExternalData(int32_t port, int32_t len, char* buff) = 0;
    virtual HRESULT StartRecording() = 0;
    virtual HRESULT StopRecording() = 0;
    virtual HRESULT RecordingModeState(uint8_t* state) = 0;
    virtual HRESULT SetHeader(int32_t len, char* header) = 0;
    virtual HRESULT put_LocalPort(uint32_t newVal) = 0;
    virtual HRESULT SetProperties(BSTR prop, BSTR newVal) = 0;
    virtual HRESULT GetProperties(BSTR prop, BSTR* pVal) = 0;

protected:
    ~IZAN_Tunnel() = default;
};

// Identities of the module, fixed once and kept.
inline constexpr GUID IID_IZAN_Tunnel = {0x6b1d2e40, 0x3c55, 0x4f0e, {0x9a, 0x61, 0x2f, 0x7c, 0x14, 0xd8, 0x5e, 0x01}};
inline constexpr GUID DIID__IZAN_TunnelEvents = {0x6b1d2e41, 0x3c55, 0x4f0e, {0x9a, 0x61, 0x2f, 0x7c, 0x14, 0xd8, 0x5e, 0x01}};
inline constexpr GUID CLSID_ZAN_Tunnel = {0x6b1d2e42, 0x3c55, 0x4f0e, {0x9a, 0x61, 0x2f, 0x7c, 0x14, 0xd8, 0x5e, 0x01}};
inline constexpr GUID LIBID_ZAN_TunnelLib = {0x6b1d2e43, 0x3c55, 0x4f0e, {0x9a, 0x61, 0x2f, 0x7c, 0x14, 0xd8, 0x5e, 0x01}};

// DISPIDs of IZAN_Tunnel.
enum ZanTunnelDispId : DISPID {
    DISPID_Start = 1,
    DISPID_Stop = 2,
    DISPID_Clear = 3,
    DISPID_SetDestinationAddress = 4,
    DISPID_SetDestinationPort = 5,
    DISPID_SetReceiveAddress = 6,
    DISPID_AddReceivePort = 7,
    DISPID_SetSendAddress = 8,
    DISPID_SetSourceTag = 9,
    DISPID_SetLogLevel = 10,
    DISPID_CryptoKey = 11,
    DISPID_CryptoType = 12,
    DISPID_GetSocketStackFactoryInstance = 13,
    DISPID_Filename = 14,
    DISPID_SaveExternalData = 15,
    DISPID_StartRecording = 16,
    DISPID_StopRecording = 17,
    DISPID_RecordingModeState = 18,
    DISPID_SetHeader = 19,
    DISPID_LocalPort = 20,
    DISPID_SetProperties = 21,
    DISPID_GetProperties = 22,
};

// DISPIDs of the outgoing event interface _IZAN_TunnelEvents.
enum ZanTunnelEventDispId : DISPID {
    DISPID_LogEvent = 1,
    DISPID_ErrorEvent = 2,
    DISPID_ConnectEvent = 3,
    DISPID_DisconnectEvent = 4,
    DISPID_StartEvent = 5,
    DISPID_StopEvent = 6,
};

} // namespace zan
