#include "RecordingReplayer.h"

#include "DatagramLimits.h"
#include "RecordingInspector.h"

#include <asio/io_context.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/udp.hpp>

#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

namespace zan {

using namespace RecordingFileFormat;

namespace {


class DatagramPlayer {
public:
    DatagramPlayer(asio::ip::udp::socket& socket, const asio::ip::address& address, double speed)
        : socket(socket), address(address), speed(speed), start(std::chrono::steady_clock::now())
    {
    }

    bool Play(const RecordingBlock& block, RecordingReader& reader)
    {
        const BlockHeader& header = block.header;
        if (!TravelsAsOneUdpDatagram(header, result.skipped)) {
            return true;
        }
        const std::span<std::byte> payload(buffer.data(), header.length);
        if (!reader.ReadPayload(block, 0, payload)) {
            ++result.failed;
            return true;
        }
        const std::chrono::duration<double, std::milli> due(header.time / speed);
        std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(due));
        asio::error_code error;
        socket.send_to(asio::buffer(payload.data(), payload.size()),
                       asio::ip::udp::endpoint(address, static_cast<uint16_t>(header.port)), 0, error);
        if (error) {
            ++result.failed;
        } else {
            ++result.sent;
            result.bytes += header.length;
        }
        return true;
    }

    const ReplayResult& Result() const { return result; }

private:
    asio::ip::udp::socket& socket;
    const asio::ip::address address;
    const double speed;
    const std::chrono::steady_clock::time_point start;
    std::vector<std::byte> buffer = std::vector<std::byte>(kMaxUdpPayload);
    ReplayResult result;
};

}  // namespace

int ReplayCommand(RecordingSource& source, const ReplayOptions& options, std::ostream& out, std::ostream& err,
                  ProgressBar* progress)
{
    asio::error_code error;
    const asio::ip::address address = asio::ip::make_address(options.address, error);
    if (error) {
        err << "zan-rec: replay: '" << options.address << "' is not a numeric IPv4 or IPv6 address\n";
        return 2;
    }
    if (!std::isfinite(options.speed) || options.speed <= 0) {
        err << "zan-rec: replay: the speed must be a number above 0\n";
        return 2;
    }
    asio::io_context context;
    asio::ip::udp::socket socket(context);
    socket.open(address.is_v4() ? asio::ip::udp::v4() : asio::ip::udp::v6(), error);
    if (error) {
        err << "zan-rec: replay: cannot open a UDP socket: " << error.message() << "\n";
        return 1;
    }
    DatagramPlayer player(socket, address, options.speed);
    RecordingInspector inspector(source);
    const RecordingInspection inspection =
        inspector.Inspect([&player, progress](const RecordingBlock& block, RecordingReader& reader) {
            if (progress != nullptr) {
                progress->Update(block.offset);
            }
            return player.Play(block, reader);
        });
    if (progress != nullptr) {
        progress->Finish();
    }
    if (!inspection.isRecording) {
        err << "zan-rec: replay: " << inspection.fault->message << "\n";
        return 1;
    }
    const ReplayResult& result = player.Result();
    out << "replayed " << result.sent << " datagrams (" << result.bytes << " bytes) to " << address.to_string()
        << "\n";
    if (result.skipped != 0) {
        out << "skipped " << result.skipped << " blocks that cannot travel as one UDP datagram (port or length)\n";
    }
    if (result.failed != 0) {
        out << "failed to send " << result.failed << " datagrams\n";
    }
    if (inspection.fault) {
        err << "zan-rec: replay: at offset " << inspection.fault->offset << ": " << inspection.fault->message << "\n";
    }
    return inspection.fault ? 1 : 0;
}

} // namespace zan
