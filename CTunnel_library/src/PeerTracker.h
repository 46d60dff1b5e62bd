#pragma once

#include "TunnelPacketFormat.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace zan {

// The sealed packets accepted lately under one key id, to tell a copy of
// one of them from a packet never seen. A sender's counter starts at a
// random value, so which packet is newer cannot be told across a restart;
// what can be told is whether this very packet (source tag and counter)
// was accepted before. The last kCapacity packets are remembered; the
// oldest is forgotten as a new one comes. Fixed storage: nothing is
// allocated per packet.
class ReplayWindow {
public:
    static constexpr size_t kCapacity = 4096;

    ReplayWindow();

    // Remembers the packet; false when it was remembered already (a copy).
    bool Accept(int64_t sourceTag, uint64_t counter);

private:
    static constexpr size_t kSlots = kCapacity * 2;  // open addressing, at most half full
    static constexpr uint64_t kEmpty = 0;

    static uint64_t Mix(int64_t sourceTag, uint64_t counter);
    size_t Find(uint64_t key) const;  // its slot, or the empty slot where it would go
    void Erase(uint64_t key);

    std::array<uint64_t, kSlots> slots{};
    std::array<uint64_t, kCapacity> order{};  // keys in the order accepted (a ring)
    size_t next = 0;                          // the ring's oldest entry once full
    size_t count = 0;
};

// Which address the listening end of a UDP tunnel sends to. Used by the
// receive loop only, for every packet that opened.
//
// - Fixed (a destination was configured): nothing ever moves it.
// - Following (no destination): the first packet's sender is learned. A
//   sealed packet (authenticated, so neither forged nor altered) that is not
//   a copy of one accepted before moves the peer to its sender at once: a
//   restarted peer or a NAT rebinding is followed at its first packet, a
//   copy replayed from elsewhere moves nothing. Legacy packets carry no
//   authentication: the first peer is kept unless nothing came from it for
//   kSilenceMs, when the next sender is learned instead.
class PeerTracker {
public:
    // Three keep-alive periods without a packet from the peer.
    static constexpr int64_t kSilenceMs = 27000;

    enum class Verdict {
        kFixed,    // a configured destination: not followed
        kSame,     // from the current peer
        kLearned,  // the first peer
        kMoved,    // the peer moved to the sender
        kKept,     // from elsewhere, the peer stays
    };

    PeerTracker();
    ~PeerTracker();

    // Starts over: following (no peer yet) or fixed.
    void Reset(bool follow);

    // The sender of a packet that opened, its sealed header when it had one,
    // and the time (GetTimeMs) it was read.
    Verdict Observe(const std::string& address, uint32_t port,
                    const std::optional<TunnelPacketFormat::SealedHeader>& seal, int64_t nowMs);

    const std::string& Address() const { return address; }
    uint32_t Port() const { return port; }

private:
    bool IsNew(const std::optional<TunnelPacketFormat::SealedHeader>& seal);

    bool follow = false;
    bool known = false;
    std::string address;
    uint32_t port = 0;
    int64_t lastHeardMs = 0;
    std::map<uint16_t, std::unique_ptr<ReplayWindow>> windows;  // by key id
};

} // namespace zan
