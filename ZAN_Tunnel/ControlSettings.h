#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace zan {

// A wide automation text: nullopt stands for the null string, which stays
// distinct from the empty one.
using WideText = std::optional<std::u16string>;

// The whole tunnel configuration the control keeps between Start calls.
// Setters only store here; Start hands it to the engine. The values after
// construction and after Clear are the member initialisers below (Reset
// assigns a fresh object, keeping fileName).
struct ControlSettings {
    static constexpr size_t kKeyBufferSize = 64;

    // Every setting, for comparing two configurations field by field.
    auto Fields() const
    {
        return std::tie(tcpTunnelType, tcpTunnel, proxyEnabled, proxyHost, proxyPort, proxyUser, proxyPassword,
                        receiveAddress, receiverNic, sendAddress, senderNic, destinationAddress, receiveGroup, ttl,
                        tos, receiveBuffer, sendBuffer, destinationPort, localPort, sourceTag, logLevel, keyId,
                        rekeyPeriod, cryptoKey, cryptoType, fileName, receivePorts, masterKey, masterSalt,
                        masterKeyLength, masterSaltLength);
    }

    uint32_t tcpTunnelType = 0;  // 1 selects the TCP tunnel
    bool tcpTunnel = false;
    bool proxyEnabled = false;
    std::u16string proxyHost;
    std::u16string proxyPort;  // held as text
    std::u16string proxyUser;
    std::u16string proxyPassword;
    WideText receiveAddress = u"127.0.0.2";
    WideText receiverNic = u"0.0.0.0";
    WideText sendAddress = u"127.0.0.1";
    WideText senderNic = u"0.0.0.0";
    WideText destinationAddress = u"224.41.40.39";
    WideText receiveGroup = u"0.0.0.0";
    int32_t ttl = 128;  // stored and answered only
    int32_t tos = 0;    // stored and answered only
    int32_t receiveBuffer = 0;  // 0 = leave the sockets' sizes
    int32_t sendBuffer = 0;
    uint16_t destinationPort = 80;
    uint16_t localPort = 0;
    int64_t sourceTag = 0;
    uint32_t logLevel = 5;
    uint32_t keyId = 0;
    uint32_t rekeyPeriod = 0;
    WideText cryptoKey = u"Placeholder cipher key, replace before use!!!!!!!";
    uint32_t cryptoType = 0;
    WideText fileName;  // not touched by Clear
    std::vector<uint16_t> receivePorts;  // in call order, duplicates kept
    std::array<uint8_t, kKeyBufferSize> masterKey{};
    std::array<uint8_t, kKeyBufferSize> masterSalt{};
    int32_t masterKeyLength = 0;
    int32_t masterSaltLength = 0;

    // Wipes the key material (the object is about to be replaced or freed).
    void WipeSecrets();
};

} // namespace zan
