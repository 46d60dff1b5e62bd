// Reading recordings back: a file written by the recorder read through the
// file reader, and damaged or hostile files through the inspector.
#include "RecorderTestSupport.h"

#include "FileRecordingSource.h"

#include <functional>

namespace zan {

using namespace rectest;
using namespace RecordingFileFormat;

namespace {

constexpr uint64_t kFirstRecord = kFileHeaderSize + kBlockHeaderSize + 3;

// A sound closed file: records at 100 and 6000 ms, index [first, second].
std::vector<std::byte> GoodFile(uint64_t* second = nullptr)
{
    FileBuilder builder;
    builder.Block(0, 100, 5004, "aaaa");
    const uint64_t at = builder.Block(1, 6000, 9, "bb");
    if (second != nullptr) {
        *second = at;
    }
    return builder.Closed(6000, {kFirstRecord, at});
}

void Put32(std::vector<std::byte>& file, size_t at, uint32_t value)
{
    StoreLe32(value, std::span(file).subspan(at).first<4>());
}
void Put64(std::vector<std::byte>& file, size_t at, uint64_t value)
{
    StoreLe64(value, std::span(file).subspan(at).first<8>());
}
uint64_t IndexOffset(const std::vector<std::byte>& file)
{
    return LoadLe64(std::span(file).subspan(16).first<8>());
}

using FileBytes = std::vector<std::byte>;

struct DamageCase {
    const char* name;
    std::function<FileBytes()> make;
    const char* fault;  // part of the expected first fault; null: none
    bool isRecording = true;
};

// GoodFile() with one change.
std::function<FileBytes()> Damaged(std::function<void(FileBytes&)> change)
{
    return [change] {
        FileBytes f = GoodFile();
        change(f);
        return f;
    };
}

}  // namespace

TEST(RecordingInspector, FindsTheFirstFaultOfDamagedFiles)
{
    uint64_t second = 0;
    (void)GoodFile(&second);
    const DamageCase cases[] = {
        {"empty", [] { return FileBytes{}; }, "empty", false},
        {"short", [] { return FileBytes(20); }, "fewer than the 32-byte", false},
        {"foreign", [] { return Bytes(std::string(64, 'R')); }, "bad magic 52 52 52 52", false},
        {"version", Damaged([](FileBytes& f) { Put32(f, 4, 2); }), "unsupported version 2", false},
        {"truncated", Damaged([](FileBytes& f) { f.erase(f.end() - 3, f.end()); }), "file end says"},
        {"index offset past the end", Damaged([](FileBytes& f) { Put64(f, 16, uint64_t{1} << 40); }),
         "lies beyond the end"},
        {"index offset at a record", Damaged([](FileBytes& f) { Put64(f, 16, kFirstRecord); }), "not an index block"},
        {"4 GiB record length", Damaged([](FileBytes& f) { Put32(f, kFirstRecord + 12, 0xFFFFFFFF); }),
         "claims 4294967295 payload bytes"},
        {"4 GiB index length", Damaged([](FileBytes& f) { Put32(f, IndexOffset(f) + 12, 0xFFFFFFF8); }),
         "the index block claims"},
        {"entry inside a block", Damaged([](FileBytes& f) { Put64(f, IndexOffset(f) + 24, kFirstRecord + 3); }),
         "not a block start"},
        {"entries out of order", Damaged([second](FileBytes& f) {
             Put64(f, IndexOffset(f) + 16, second);
             Put64(f, IndexOffset(f) + 24, kFirstRecord);
         }),
         "lies before entry 0"},
        {"duration not the last record's time", Damaged([](FileBytes& f) { Put32(f, 8, 6001); }),
         "the duration says 6001"},
        {"record hidden before its interval's entry",
         [] {
             FileBuilder b;
             b.Block(0, 7000, 1, "early but late");
             return b.Closed(7100, {kFirstRecord, b.Block(0, 7100, 1, "x")});
         },
         "lies before index entry 1"},
        {"unknown block type",
         [] {
             FileBuilder b;
             b.Block(9, 0, 1, "?");
             return b.Open();
         },
         "unknown block type 9"},
        {"no stream header first", Damaged([](FileBytes& f) { Put32(f, kFileHeaderSize, 0); }),
         "not the stream-header block"},
        {"open header with a duration", Damaged([](FileBytes& f) { Put64(f, 24, kOpenFileEnd); }),
         "header of an open file"},
        {"sound", [] { return GoodFile(); }, nullptr},
    };
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(c.name);
        const FileBytes file = c.make();
        RecordingInspection inspection;
        (void)ReadBlocks(file, &inspection);
        EXPECT_EQ(inspection.isRecording, c.isRecording);
        if (c.fault == nullptr) {
            EXPECT_TRUE(inspection.SoundAndClosed()) << FaultText(inspection);
        } else {
            EXPECT_NE(FaultText(inspection).find(c.fault), std::string::npos) << FaultText(inspection);
        }
    }
}

TEST(RecordingInspector, AFileNeverClosedKeepsItsCompleteBlocks)
{
    FileBuilder builder;
    builder.Block(0, 10, 5004, "one");
    builder.Block(0, 20, 5004, "two");
    std::vector<std::byte> file = builder.Open();
    const size_t whole = file.size();
    for (const std::string& tail : {std::string("\x01\x02\x03", 3), std::string(16, '\x7f')}) {
        SCOPED_TRACE(tail.size());
        file.resize(whole);
        const auto bytes = Bytes(tail);  // a cut header, then a header claiming far more than is there
        file.insert(file.end(), bytes.begin(), bytes.end());
        RecordingInspection inspection;
        const std::vector<ReadBlock> blocks = ReadBlocks(file, &inspection);
        EXPECT_TRUE(inspection.SoundButNotClosed()) << FaultText(inspection);
        EXPECT_EQ(inspection.summary.trailingBytes, tail.size());
        ASSERT_EQ(blocks.size(), 3u);
        EXPECT_EQ(blocks[2].payload, Bytes("two"));
        EXPECT_EQ(inspection.summary.completeEnd, whole);
    }
}

TEST(RecordingInspector, CountsPerTypeAndPortStayBounded)
{
    FileBuilder builder;
    const uint32_t ports = RecordingSummary::kMaxPortEntries + 10;
    for (uint32_t port = 0; port < ports; ++port) {
        builder.Block(0, 0, port, "ab");
    }
    const std::vector<std::byte> file = builder.Open();
    RecordingInspection inspection;
    (void)ReadBlocks(file, &inspection);
    const RecordingSummary& summary = inspection.summary;
    EXPECT_EQ(summary.perType[0].blocks, ports);
    EXPECT_EQ(summary.perType[0].bytes, 2u * ports);
    EXPECT_EQ(summary.perPort.size(), RecordingSummary::kMaxPortEntries);
    EXPECT_EQ(summary.otherPorts.blocks, 10u);
}

// What the recorder writes, the file reader reads back block for block,
// with the index and the final header agreeing with the blocks.
TEST_F(RecorderTest, WhatTheRecorderWritesReadsBackIdentically)
{
    const std::string path = PathOf("round.rec");
    const std::string header(40, 'h');
    struct Sent {
        int64_t at;  // clock, ms after the start of recording; -1 before it
        uint32_t type, port;
        std::string payload;
    };
    const std::vector<Sent> sent = {
        {-1, 1, 7, "before start"},           {100, 0, 5004, std::string(100, 'a')},
        {4999, 0, 5006, "b"},                 {5000, 0, 5004, "c"},
        {17000, 1, 9, std::string(70000, 'x')},  // larger than the reader's window
        {17001, 0, 5004, "d"},
    };
    IVCSaver saver;
    SetHeader(saver, header);
    ASSERT_TRUE(Open(saver, path));
    std::vector<uint64_t> offsets;
    uint64_t position = kFileHeaderSize + kBlockHeaderSize + header.size();
    for (const Sent& s : sent) {
        if (s.at >= 0 && saver.GetState() == IVCSaver::State::HeaderWritten) {
            ASSERT_TRUE(saver.StartRecording());
        }
        clock->Set(kStart + std::max<int64_t>(s.at, 0));
        s.type == 0 ? Datagram(saver, s.port, s.payload) : (void)External(saver, s.port, s.payload);
        offsets.push_back(position);
        position += kBlockHeaderSize + s.payload.size();
        WaitWritten(saver, position);
    }
    ASSERT_TRUE(Close(saver));

    // The file reader gives back every block, a payload larger than its
    // window piece by piece, and the index block last.
    FileRecordingSource source;
    std::string error;
    ASSERT_TRUE(source.Open(path, error)) << error;
    RecordingReader reader(source);
    ASSERT_TRUE(reader.ReadFileHeader().has_value());
    RecordingBlock block;
    ASSERT_EQ(reader.Next(block), RecordingReader::Step::Block);
    EXPECT_EQ(block.header.length, header.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(reader.Next(block), RecordingReader::Step::Block);
        const BlockHeader& h = block.header;
        EXPECT_EQ(std::make_tuple(block.offset, h.type, h.time, h.port),
                  std::make_tuple(offsets[i], sent[i].type, static_cast<uint32_t>(std::max<int64_t>(sent[i].at, 0)),
                                  sent[i].port));
        std::string payload;
        ASSERT_TRUE(reader.ForEachPayloadPiece(block, [&](uint64_t from, std::span<const std::byte> piece) {
            EXPECT_EQ(from, payload.size());
            payload.append(reinterpret_cast<const char*>(piece.data()), piece.size());
        }));
        EXPECT_EQ(payload, sent[i].payload);
    }
    ASSERT_EQ(reader.Next(block), RecordingReader::Step::Block);
    EXPECT_TRUE(block.header.Is(BlockType::Index));
    EXPECT_EQ(block.offset, position);
    EXPECT_EQ(reader.Next(block), RecordingReader::Step::End);

    // Slot 0 opens at the first record, slot 1 at the 5000 ms record, slots
    // 2 and 3 (none of its own in 2) at the 17000 ms record.
    RecordingInspection inspection;
    const std::vector<ReadBlock> blocks = ReadBlocks(ReadWholeFile(path), &inspection);
    EXPECT_TRUE(inspection.SoundAndClosed()) << FaultText(inspection);
    EXPECT_EQ(inspection.summary.header->duration, 17001u);
    EXPECT_EQ(IndexEntries(blocks), (std::vector<uint64_t>{offsets[0], offsets[3], offsets[4], offsets[4]}));
}

} // namespace zan
