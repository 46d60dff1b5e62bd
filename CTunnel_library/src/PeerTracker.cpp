#include "PeerTracker.h"

namespace zan {

// ---------------------------------------------------------------------------
// ReplayWindow: a linear-probing set of the remembered keys beside a ring
// that holds them in the order accepted, so the oldest can be dropped.

ReplayWindow::ReplayWindow() = default;

uint64_t ReplayWindow::Mix(int64_t sourceTag, uint64_t counter)
{
    // A 64-bit mix of tag and counter (splitmix64's finaliser). Two distinct
    // packets share a key with a chance of about 2^-64 per pair; 0 marks an
    // empty slot, so it is moved aside.
    uint64_t x = counter ^ (static_cast<uint64_t>(sourceTag) * 0x9E3779B97F4A7C15ull);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    return x == kEmpty ? 1 : x;
}

size_t ReplayWindow::Find(uint64_t key) const
{
    size_t at = static_cast<size_t>(key) & (kSlots - 1);
    while (slots[at] != kEmpty && slots[at] != key) {
        at = (at + 1) & (kSlots - 1);
    }
    return at;
}

void ReplayWindow::Erase(uint64_t key)
{
    size_t hole = Find(key);
    if (slots[hole] == kEmpty) {
        return;
    }
    slots[hole] = kEmpty;
    // Moves back the entries of the run behind the hole that could not be
    // found any more across it.
    for (size_t at = (hole + 1) & (kSlots - 1); slots[at] != kEmpty; at = (at + 1) & (kSlots - 1)) {
        const size_t home = static_cast<size_t>(slots[at]) & (kSlots - 1);
        const bool between = hole <= at ? (hole < home && home <= at) : (hole < home || home <= at);
        if (!between) {
            slots[hole] = slots[at];
            slots[at] = kEmpty;
            hole = at;
        }
    }
}

bool ReplayWindow::Accept(int64_t sourceTag, uint64_t counter)
{
    const uint64_t key = Mix(sourceTag, counter);
    const size_t at = Find(key);
    if (slots[at] == key) {
        return false;
    }
    if (count == kCapacity) {
        Erase(order[next]);
        --count;
    }
    slots[Find(key)] = key;  // the erase may have moved the free slot
    order[next] = key;
    next = (next + 1) % kCapacity;
    ++count;
    return true;
}

// ---------------------------------------------------------------------------
// PeerTracker

PeerTracker::PeerTracker() = default;
PeerTracker::~PeerTracker() = default;

void PeerTracker::Reset(bool followPeer)
{
    follow = followPeer;
    known = false;
    address.clear();
    port = 0;
    lastHeardMs = 0;
    windows.clear();
}

bool PeerTracker::IsNew(const std::optional<TunnelPacketFormat::SealedHeader>& seal)
{
    std::unique_ptr<ReplayWindow>& window = windows[seal->keyId];
    if (!window) {
        window = std::make_unique<ReplayWindow>();
    }
    return window->Accept(seal->sourceTag, seal->counter);
}

PeerTracker::Verdict PeerTracker::Observe(const std::string& senderAddress, uint32_t senderPort,
                                          const std::optional<TunnelPacketFormat::SealedHeader>& seal,
                                          int64_t nowMs)
{
    if (!follow) {
        return Verdict::kFixed;
    }
    // Every sealed packet is remembered, whoever sent it, so that a copy of
    // it is known as one later.
    const bool fresh = seal.has_value() && IsNew(seal);
    const bool same = known && senderAddress == address && senderPort == port;
    // A clock that went backwards restarts the silence from now.
    if (nowMs < lastHeardMs) {
        lastHeardMs = nowMs;
    }
    if (same) {
        lastHeardMs = nowMs;
        return Verdict::kSame;
    }
    Verdict verdict = Verdict::kMoved;
    if (!known) {
        verdict = Verdict::kLearned;
    } else if (seal.has_value() ? !fresh : nowMs - lastHeardMs <= kSilenceMs) {
        return Verdict::kKept;
    }
    known = true;
    address = senderAddress;
    port = senderPort;
    lastHeardMs = nowMs;
    return verdict;
}

} // namespace zan
