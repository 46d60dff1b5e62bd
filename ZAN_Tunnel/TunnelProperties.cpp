#include "TunnelProperties.h"

#include "CTunnel.h"
#include "PropertyText.h"
#include "ZAN_Properties.h"
#include "base_exception.h"

#include <openssl/crypto.h>

#include <array>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace zan {

namespace {

using PropertyText::DecimalValue;
using PropertyText::DecimalValue64;
using PropertyText::ScanInt;
using PropertyText::Split;
using PropertyText::ToUtf8;

// Source lines the error reports carry, one per name.
constexpr int32_t kLineTRecType = 510;
constexpr int32_t kLineTRecConfig = 521;
constexpr int32_t kLineTunnelCc = 539;
constexpr int32_t kLineSenderNic = 591;
constexpr int32_t kLineReceiverNic = 599;
constexpr int32_t kLineTcpTunnelType = 607;
constexpr int32_t kLineTcpTunnel = 615;
constexpr int32_t kLineTcpTunnelConnect = 631;
constexpr int32_t kLineTcpTunnelProxy = 650;
constexpr int32_t kLineTtl = 659;
constexpr int32_t kLineTos = 667;
constexpr int32_t kLineTunnelRecBuffer = 675;
constexpr int32_t kLineTunnelSndBuffer = 683;
constexpr int32_t kLineTRcvAddress = 691;
constexpr int32_t kLineUnknownSet = 700;
constexpr int32_t kLineGetNull = 722;
constexpr int32_t kLineUnknownGet = 760;

constexpr char16_t kVersion[] = u"5.14.0.7";
constexpr size_t kProxyFieldLimit = 255;

std::u16string_view ViewOf(const char16_t* text)
{
    return text != nullptr ? std::u16string_view(text) : std::u16string_view();
}

// One SetProperties call: the value and the ways to refuse it.
class SetRequest {
public:
    SetRequest(const char16_t* prop, const char16_t* value) : prop(ViewOf(prop))
    {
        if (value != nullptr) {
            this->value = std::u16string_view(value);
        }
    }

    [[noreturn]] void Refuse(int32_t line) const
    {
        throw exc_tunnel(line, static_cast<uint32_t>(E_INVALIDARG), "Set property error:" + ToUtf8(prop));
    }
    [[noreturn]] void RefuseUnknown() const
    {
        throw exc_tunnel(kLineUnknownSet, 0, "Unknown property :" + ToUtf8(prop));
    }

    std::u16string_view RequireText(int32_t line) const
    {
        if (!value) {
            Refuse(line);
        }
        return *value;
    }

    int32_t RequireInt(int32_t line) const
    {
        const std::optional<int32_t> n = value ? ScanInt(*value) : std::nullopt;
        if (!n) {
            Refuse(line);
        }
        return *n;
    }

    // A byte count: 0 (leave the sockets' sizes) or more.
    int32_t RequireSize(int32_t line) const
    {
        const int32_t n = RequireInt(line);
        if (n < 0) {
            Refuse(line);
        }
        return n;
    }

    std::vector<std::u16string_view> RequireParts(size_t count, int32_t line) const
    {
        std::vector<std::u16string_view> parts = Split(RequireText(line), count);
        if (parts.size() != count) {
            Refuse(line);
        }
        return parts;
    }

private:
    std::u16string_view prop;
    std::optional<std::u16string_view> value;
};

void AssignSecret(std::u16string& field, std::u16string_view text)
{
    OPENSSL_cleanse(field.data(), field.size() * sizeof(char16_t));
    field.assign(text);
}

// --- tcp_tunnel_proxy ------------------------------------------------------

struct ProxyValue {
    bool enabled = false;
    std::u16string_view host, port, user, password;
};

// Five white-space separated fields (flag, host, port, user, password), else
// three space-separated parts (flag, host, port), else the flag alone.
ProxyValue ParseProxy(const SetRequest& request)
{
    const std::u16string_view text = request.RequireText(kLineTcpTunnelProxy);
    if (const auto fields = PropertyText::ScanFields(text, 5)) {
        for (std::u16string_view field : *fields) {
            if (field.size() > kProxyFieldLimit) {
                request.Refuse(kLineTcpTunnelProxy);
            }
        }
        const auto& f = *fields;
        return {DecimalValue(f[0]) != 0, f[1], f[2], f[3], f[4]};
    }
    const std::vector<std::u16string_view> parts = Split(text, 3);
    if (parts.size() == 3) {
        return {DecimalValue(parts[0]) != 0, parts[1], parts[2], {}, {}};
    }
    return {DecimalValue(text) != 0, {}, {}, {}, {}};
}

void SetProxy(const SetRequest& request, ControlSettings& settings)
{
    const ProxyValue proxy = ParseProxy(request);
    settings.proxyEnabled = proxy.enabled;
    settings.proxyHost.assign(proxy.host);
    settings.proxyPort.assign(proxy.port);
    settings.proxyUser.assign(proxy.user);
    AssignSecret(settings.proxyPassword, proxy.password);
}

// --- tunnel_cc ---------------------------------------------------------------

// Master key and salt decoded from a value; wiped when it goes.
struct MasterKeyText {
    std::array<uint8_t, ControlSettings::kKeyBufferSize> key{};
    std::array<uint8_t, ControlSettings::kKeyBufferSize> salt{};
    int32_t keyLength = 0;
    int32_t saltLength = 0;

    MasterKeyText() = default;
    MasterKeyText(const MasterKeyText&) = delete;
    MasterKeyText& operator=(const MasterKeyText&) = delete;
    ~MasterKeyText()
    {
        OPENSSL_cleanse(key.data(), key.size());
        OPENSSL_cleanse(salt.data(), salt.size());
    }
};

int32_t DecodeKeyPart(const SetRequest& request, std::u16string_view hex, std::span<uint8_t> out)
{
    const std::optional<size_t> length = PropertyText::DecodeHex(hex, out);
    if (!length) {
        request.Refuse(kLineTunnelCc);
    }
    return static_cast<int32_t>(*length);
}

// "key-id master-key master-salt rekey-period" sets up the authenticated
// format's key; any other value is the 64-bit source tag.
void SetTunnelCc(const SetRequest& request, ControlSettings& settings, CTunnel* engine)
{
    const std::u16string_view text = request.RequireText(kLineTunnelCc);
    const std::vector<std::u16string_view> parts = Split(text, 4);
    if (parts.size() != 4) {
        settings.sourceTag = DecimalValue64(text);
        return;
    }
    MasterKeyText master;
    master.keyLength = DecodeKeyPart(request, parts[1], master.key);
    master.saltLength = DecodeKeyPart(request, parts[2], master.salt);
    const auto keyId = static_cast<uint32_t>(DecimalValue(parts[0]));
    const auto rekeyPeriod = static_cast<uint32_t>(DecimalValue(parts[3]));
    if (engine != nullptr) {
        // A running engine takes the key now; Start adds the stored one.
        if (master.keyLength > 0 && master.saltLength > 0) {
            engine->AddKey(keyId, master.key.data(), master.keyLength, master.salt.data(), master.saltLength,
                           rekeyPeriod);
        }
    } else {
        settings.keyId = keyId;
        settings.rekeyPeriod = rekeyPeriod;
    }
    // Whole-array copies overwrite every byte of the previous key.
    settings.masterKey = master.key;
    settings.masterSalt = master.salt;
    settings.masterKeyLength = master.keyLength;
    settings.masterSaltLength = master.saltLength;
}

// --- the other names ---------------------------------------------------------

void SetTcpTunnel(const SetRequest& request, ControlSettings& settings)
{
    const auto parts = request.RequireParts(2, kLineTcpTunnel);
    settings.tcpTunnel = true;
    if (settings.tcpTunnelType == 0) {
        settings.destinationAddress = std::u16string(parts[0]);
    }
}

void SetTcpTunnelConnect(const SetRequest& request, ControlSettings& settings)
{
    const auto parts = request.RequireParts(2, kLineTcpTunnelConnect);
    // A port beyond 16 bits is refused rather than cut to another port.
    const int64_t port = DecimalValue64(parts[1]);
    if (port < 0 || port > UINT16_MAX) {
        request.Refuse(kLineTcpTunnelConnect);
    }
    if (settings.tcpTunnelType == 1) {
        settings.destinationAddress = std::u16string(parts[0]);
        settings.destinationPort = static_cast<uint16_t>(port);
    }
}

// "%d %d %d": three numbers, parsed only.
HRESULT SetRecordConfig(const SetRequest& request)
{
    const std::u16string_view text = request.RequireText(kLineTRecConfig);
    size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        if (!ScanInt(text, pos)) {
            request.Refuse(kLineTRecConfig);
        }
    }
    return E_NOTIMPL;
}

HRESULT Dispatch(int32_t number, const SetRequest& request, ControlSettings& settings, CTunnel* engine)
{
    switch (number) {
    case ZAN_Properties::kTRecType:
        (void)request.RequireInt(kLineTRecType);
        return E_NOTIMPL;
    case ZAN_Properties::kTRecConfig:
        return SetRecordConfig(request);
    case ZAN_Properties::kTunnelCc:
        SetTunnelCc(request, settings, engine);
        break;
    case ZAN_Properties::kSenderNic:
        settings.senderNic = std::u16string(request.RequireText(kLineSenderNic));
        break;
    case ZAN_Properties::kReceiverNic:
        settings.receiverNic = std::u16string(request.RequireText(kLineReceiverNic));
        break;
    case ZAN_Properties::kTcpTunnelType:
        settings.tcpTunnelType = static_cast<uint32_t>(request.RequireInt(kLineTcpTunnelType));
        break;
    case ZAN_Properties::kTcpTunnel:
        SetTcpTunnel(request, settings);
        break;
    case ZAN_Properties::kTcpTunnelConnect:
        SetTcpTunnelConnect(request, settings);
        break;
    case ZAN_Properties::kTcpTunnelProxy:
        SetProxy(request, settings);
        break;
    case ZAN_Properties::kTtl:
        settings.ttl = request.RequireInt(kLineTtl);
        break;
    case ZAN_Properties::kTos:
        settings.tos = request.RequireInt(kLineTos);
        break;
    case ZAN_Properties::kTunnelRecBuffer:
        settings.receiveBuffer = request.RequireSize(kLineTunnelRecBuffer);
        break;
    case ZAN_Properties::kTunnelSndBuffer:
        settings.sendBuffer = request.RequireSize(kLineTunnelSndBuffer);
        break;
    case ZAN_Properties::kTRcvAddress:
        settings.receiveGroup = std::u16string(request.RequireText(kLineTRcvAddress));
        break;
    default:
        request.RefuseUnknown();
    }
    return S_OK;
}

std::u16string UnsignedText(int32_t value)
{
    return PropertyText::FromAscii(std::to_string(static_cast<uint32_t>(value)));
}

} // namespace

HRESULT TunnelProperties::Set(const ZAN_Properties& names, ControlSettings& settings, CTunnel* engine,
                              const char16_t* prop, const char16_t* value)
{
    const SetRequest request(prop, value);
    return Dispatch(names.Lookup(ViewOf(prop)), request, settings, engine);
}

std::u16string TunnelProperties::Get(const ZAN_Properties& names, const ControlSettings& settings,
                                     const char16_t* prop, const std::function<intptr_t()>& factoryAddress)
{
    if (prop == nullptr) {
        throw exc_tunnel(kLineGetNull, static_cast<uint32_t>(E_INVALIDARG), "Get property error:");
    }
    const std::u16string_view whole(prop);
    const std::vector<std::u16string_view> parts = Split(whole, 2);
    const std::u16string_view name = parts.size() == 2 ? parts[0] : whole;
    switch (names.Lookup(name)) {
    case ZAN_Properties::kCvVersion:
        return kVersion;
    case ZAN_Properties::kTcpTunnel:
        return settings.tcpTunnel ? u"1" : u"0";
    case ZAN_Properties::kTtl:
        return UnsignedText(settings.ttl);
    case ZAN_Properties::kTos:
        return UnsignedText(settings.tos);
    case ZAN_Properties::kTInstance:
        return PropertyText::FromAscii(std::to_string(factoryAddress()));
    default:
        throw exc_tunnel(kLineUnknownGet, 0, "Unknown property :" + ToUtf8(name));
    }
}

} // namespace zan
