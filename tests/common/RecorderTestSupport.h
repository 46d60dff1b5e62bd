#pragma once

// Helpers of the recorder tests: a clock the test steps, a scratch folder,
// locked calls into the recorder, files built byte by byte and read back.

#include "IVCSaver.h"
#include "MemoryRecordingSource.h"
#include "RecordingInspector.h"
#include "FakeClock.h"
#include "ScopedEnvironment.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace zan {

namespace rectest {

using namespace RecordingFileFormat;

// An arbitrary wall-clock moment well away from 0 and from any 32-bit wrap.
inline constexpr int64_t kStart = 1'700'000'000'000;

inline std::vector<std::byte> Bytes(const std::string& text)
{
    const auto bytes = std::as_bytes(std::span(text));
    return {bytes.begin(), bytes.end()};
}

inline std::vector<std::byte> ReadWholeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
}

// Fixed clock, fresh folder; restores the system clock afterwards.
class RecorderTest : public ::testing::Test {
protected:
    std::string PathOf(const std::string& name) const { return (folder / name).string(); }

    static bool Open(IVCSaver& saver, const std::string& path)
    {
        std::lock_guard<std::mutex> guard(saver.Lock());
        return saver.OpenRecording(path);
    }
    static void SetHeader(IVCSaver& saver, const std::string& text)
    {
        std::lock_guard<std::mutex> guard(saver.Lock());
        saver.SetHeader(Bytes(text));
    }
    static void Datagram(IVCSaver& saver, uint32_t port, const std::string& text)
    {
        std::lock_guard<std::mutex> guard(saver.Lock());
        saver.RecordDatagram(port, Bytes(text));
    }
    static bool External(IVCSaver& saver, uint32_t port, const std::string& text)
    {
        std::lock_guard<std::mutex> guard(saver.Lock());
        return saver.SaveExternalData(port, Bytes(text));
    }
    static bool Close(IVCSaver& saver)
    {
        std::lock_guard<std::mutex> guard(saver.Lock());
        return saver.Close();
    }
    // Lets the recorder's thread write the queue and waits until the file
    // reaches `position`.
    static void WaitWritten(IVCSaver& saver, uint64_t position)
    {
        saver.WriteSoon();
        ASSERT_TRUE(WaitUntil([&] { return saver.WritePosition() >= position; }));
    }

    std::unique_ptr<FakeClock> clock = std::make_unique<FakeClock>(kStart);
    const TempFolder temp{"zanrec"};
    const std::filesystem::path folder = temp.path;
};

inline std::string FaultText(const RecordingInspection& inspection)
{
    return inspection.fault ? inspection.fault->message : std::string("no fault");
}

// Builds recording files byte by byte: damage the recorder never produces,
// or a large file made quickly.
class FileBuilder {
public:
    FileBuilder() : bytes(kFileHeaderSize) { Block(2, 0, kNoPort, "hdr"); }

    uint64_t Block(uint32_t type, uint32_t time, uint32_t port, const std::string& payload)
    {
        const uint64_t offset = bytes.size();
        std::array<std::byte, kBlockHeaderSize> header{};
        EncodeBlockHeader(BlockHeader{type, time, port, static_cast<uint32_t>(payload.size())}, header);
        bytes.insert(bytes.end(), header.begin(), header.end());
        const auto body = Bytes(payload);
        bytes.insert(bytes.end(), body.begin(), body.end());
        return offset;
    }
    // Appends the index and writes the final header.
    std::vector<std::byte> Closed(uint32_t duration, const std::vector<uint64_t>& entries)
    {
        std::string payload(entries.size() * 8, '\0');
        for (size_t i = 0; i < entries.size(); ++i) {
            StoreLe64(entries[i], std::as_writable_bytes(std::span(payload)).subspan(i * 8).first<8>());
        }
        const uint64_t indexOffset = Block(3, 0, kNoPort, payload);
        WriteHeader(FinalFileHeader(duration, indexOffset, bytes.size()));
        return bytes;
    }
    std::vector<std::byte> Open()
    {
        WriteHeader(OpenFileHeader());
        return bytes;
    }

private:
    void WriteHeader(const FileHeader& header)
    {
        EncodeFileHeader(header, std::span(bytes).first<kFileHeaderSize>());
    }
    std::vector<std::byte> bytes;
};

// Every whole block of a recording with its payload.
struct ReadBlock {
    RecordingBlock block;
    std::vector<std::byte> payload;
};

inline std::vector<ReadBlock> ReadBlocks(std::span<const std::byte> file, RecordingInspection* inspection = nullptr)
{
    MemoryRecordingSource source(file);
    RecordingInspector inspector(source);
    std::vector<ReadBlock> blocks;
    const RecordingInspection result = inspector.Inspect([&](const RecordingBlock& block, RecordingReader& reader) {
        ReadBlock read{block, std::vector<std::byte>(block.header.length)};
        EXPECT_TRUE(reader.ReadPayload(block, 0, read.payload));
        blocks.push_back(std::move(read));
        return true;
    });
    if (inspection != nullptr) {
        *inspection = result;
    }
    return blocks;
}

// The entries of the index block, the last of `blocks`.
inline std::vector<uint64_t> IndexEntries(const std::vector<ReadBlock>& blocks)
{
    std::vector<uint64_t> entries;
    const std::span<const std::byte> payload(blocks.back().payload);
    for (size_t at = 0; at + 8 <= payload.size(); at += 8) {
        entries.push_back(LoadLe64(payload.subspan(at).first<8>()));
    }
    return entries;
}

}  // namespace rectest

} // namespace zan
