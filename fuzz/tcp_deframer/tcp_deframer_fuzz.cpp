// Input: a control byte (bit 0-3: crypto type of the receiving end, 0 to 8;
// bits 4-7: read size pattern), four read sizes, then the stream.
// The stream goes into the deframer in reads of those sizes (clamped to the
// free room, as a socket read is). Every outcome is compared with a model
// that keeps the whole committed stream in a vector and parses it from the
// start: same frames, same skips, same stream errors. Each frame is opened
// as a packet.

#include "TcpFrameDeframer.h"
#include "TunnelPacketFormat.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace zan {

namespace {

using Step = TcpFrameDeframer::Step;

// The framing rules, written as plainly as possible.
class Model {
public:
    void Add(const uint8_t* bytes, size_t count) { pending.insert(pending.end(), bytes, bytes + count); }

    Step Take(std::vector<uint8_t>& frame)
    {
        frame.clear();
        if (pending.size() < 2)
            return Step::kNeedMore;
        const unsigned length = pending[0] | (pending[1] << 8);
        if (length & 0x8000) {
            pending.clear();
            return Step::kStreamError;
        }
        if (pending.size() < 2 + length)
            return Step::kNeedMore;
        frame.assign(pending.begin() + 2, pending.begin() + 2 + length);
        pending.erase(pending.begin(), pending.begin() + 2 + length);
        return length == 0 ? Step::kSkipped : Step::kFrame;
    }

    size_t Buffered() const { return pending.size(); }

private:
    std::vector<uint8_t> pending;
};

TunnelCrypto& Receiver(int32_t type)
{
    static std::array<std::unique_ptr<TunnelCrypto>, 9> ends;
    if (ends[type] == nullptr) {
        auto crypto = std::make_unique<TunnelCrypto>(0);
        crypto->SetCryptoType(type);
        if (type > 0 && type < 8)
            (void)crypto->SetLegacyKey("stream key");
        const std::array<uint8_t, 32> key{7};
        const std::array<uint8_t, 14> salt{9};
        crypto->AddKey(1, key.data(), 32, salt.data(), 14, 0);
        ends[type] = std::move(crypto);
    }
    return *ends[type];
}

}  // namespace

} // namespace zan

using namespace zan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5)
        return 0;
    TunnelCrypto& crypto = Receiver((data[0] & 0x0F) % 9);
    std::array<size_t, 4> reads{};
    for (size_t i = 0; i < reads.size(); ++i)
        reads[i] = 1 + static_cast<size_t>(data[1 + i]) * (1 + (data[0] >> 4)) * 17;
    data += 5;
    size -= 5;

    static TcpFrameDeframer deframer;
    deframer.Reset();
    Model model;
    static std::vector<uint8_t> frame(TcpFrameDeframer::kMaxFill);
    std::vector<uint8_t> expected;
    TunnelPacket packet;
    size_t offset = 0;
    for (size_t round = 0; offset < size; ++round) {
        const std::span<uint8_t> room = deframer.FreeSpace();
        const size_t count = std::min({reads[round % reads.size()], room.size(), size - offset});
        if (count == 0 && room.empty())
            std::abort();  // a full buffer must always hold a complete frame
        std::memcpy(room.data(), data + offset, count);
        deframer.Commit(count);
        model.Add(data + offset, count);
        offset += count;
        for (;;) {
            size_t length = 0;
            const Step step = deframer.TakeFrame(frame, length);
            if (step != model.Take(expected) || deframer.Buffered() != model.Buffered())
                std::abort();
            if (step == Step::kNeedMore)
                break;
            if (step != Step::kFrame)
                continue;
            if (length != expected.size() || std::memcmp(frame.data(), expected.data(), length) != 0)
                std::abort();
            // An exact-size copy, so the opener cannot read past the frame.
            const std::vector<uint8_t> copy(frame.begin(), frame.begin() + length);
            (void)TunnelPacketFormat::OpenPacket(crypto, copy, false, packet);
        }
    }
    return 0;
}
