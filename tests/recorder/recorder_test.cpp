// The recorder writing real files: states, times, the index, the bounded
// queue and write failures, each file read back through the inspector.
#include "FileSizeLimit.h"
#include "RecorderTestSupport.h"

namespace zan {

using namespace rectest;
using namespace RecordingFileFormat;

namespace {

// File header + stream-header block carrying "hdr".
constexpr uint64_t kAfterStreamHeader = kFileHeaderSize + kBlockHeaderSize + 3;

struct LoadedFile {
    std::vector<std::byte> bytes;
    std::vector<ReadBlock> blocks;
    RecordingInspection inspection;

    const FileHeader& Header() const { return *inspection.summary.header; }
    std::vector<uint64_t> Index() const { return IndexEntries(blocks); }
    std::vector<ReadBlock> Records() const
    {
        std::vector<ReadBlock> records;
        for (const ReadBlock& b : blocks) {
            if (b.block.header.type <= 1) {
                records.push_back(b);
            }
        }
        return records;
    }
};

LoadedFile Load(const std::string& path)
{
    LoadedFile file;
    file.bytes = ReadWholeFile(path);
    file.blocks = ReadBlocks(file.bytes, &file.inspection);
    return file;
}

class Recorder : public RecorderTest {
protected:
    // Opens `name` with the stream header "hdr" and starts recording.
    std::string StartFile(IVCSaver& saver, const std::string& name = "a.rec")
    {
        const std::string path = PathOf(name);
        SetHeader(saver, "hdr");
        EXPECT_TRUE(Open(saver, path));
        EXPECT_TRUE(saver.StartRecording());
        return path;
    }
    void At(int64_t msSinceStart) { clock->Set(kStart + msSinceStart); }
};

}  // namespace

// Records of one byte at the given times (ms after the start), each written
// before the next: the header's duration, the index (one entry per 5 s
// interval, each the offset of the first record at or after it) and the
// record times. A wall clock stepping back must not move index entries past
// records of their interval (seeking by the index would miss them), a clock
// back before the start gives time 0, and times go on across the 32-bit
// wrap of the clock.
TEST_F(Recorder, DurationIndexAndRecordTimesFollowTheClock)
{
    constexpr uint64_t kRecord = kBlockHeaderSize + 1;
    struct Case {
        const char* name;
        int64_t start;
        std::vector<int64_t> times;
        uint32_t duration;
        std::vector<uint64_t> index;  // record numbers; the one after the last: the index block
        std::vector<uint32_t> recordTimes;
    } cases[] = {
        {"closed at once", kStart, {}, 0, {0}, {}},
        {"entries take the position reached", kStart, {1000, 12345}, 12345, {0, 1, 1}, {1000, 12345}},
        {"after 24 hours", kStart, {25LL * 3600 * 1000}, 90'000'000, std::vector<uint64_t>(kMaxIndexEntries, 0),
         {90'000'000}},
        {"clock steps back", kStart, {12000, 3000, -500, 6000, 12500}, 12500, {0, 0, 0}, {12000, 3000, 0, 6000, 12500}},
        {"32-bit wrap", (int64_t{400} << 32) - 1000, {2500}, 2500, {0}, {2500}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clock->Set(c.start);
        IVCSaver saver;
        const std::string path = StartFile(saver, std::string(c.name) + ".rec");
        for (size_t i = 0; i < c.times.size(); ++i) {
            clock->Set(c.start + c.times[i]);
            Datagram(saver, 5004, "x");
            WaitWritten(saver, kAfterStreamHeader + (i + 1) * kRecord);
        }
        clock->Advance(777);
        ASSERT_TRUE(Close(saver));
        EXPECT_EQ(saver.GetState(), IVCSaver::State::NoFile);

        const LoadedFile file = Load(path);
        EXPECT_TRUE(file.inspection.SoundAndClosed()) << FaultText(file.inspection);
        EXPECT_EQ(file.Header().duration, c.duration);
        EXPECT_EQ(file.Header().fileEnd, file.bytes.size());
        EXPECT_EQ(file.Header().indexOffset, kAfterStreamHeader + c.times.size() * kRecord);
        std::vector<uint64_t> index;
        for (const uint64_t record : c.index) {
            index.push_back(kAfterStreamHeader + record * kRecord);
        }
        EXPECT_EQ(file.Index(), index);
        std::vector<uint32_t> times;
        for (const ReadBlock& r : file.Records()) {
            times.push_back(r.block.header.time);
        }
        EXPECT_EQ(times, c.recordTimes);
        EXPECT_EQ(file.blocks[0].payload, Bytes("hdr"));
        EXPECT_EQ(file.blocks.back().block.header.time, static_cast<uint32_t>(clock->Now())) << "the index's time";
    }
}

// External data is taken once a file is open (time 0 before the start),
// datagrams only once recording started; a second start would restart the
// clock and is refused, and zero-length records are never written.
TEST_F(Recorder, ExternalDataBeforeStartHasTimeZeroAndDatagramsWaitForStart)
{
    IVCSaver saver;
    EXPECT_FALSE(External(saver, 7, "no file"));
    EXPECT_FALSE(saver.StartRecording());
    SetHeader(saver, "hdr");
    ASSERT_TRUE(Open(saver, PathOf("a.rec")));
    At(3000);
    EXPECT_TRUE(External(saver, 7, "ext"));
    Datagram(saver, 5004, "too early");
    At(4000);
    ASSERT_TRUE(saver.StartRecording());
    At(4200);
    EXPECT_FALSE(saver.StartRecording());
    EXPECT_EQ(saver.GetState(), IVCSaver::State::Recording);
    At(4500);
    Datagram(saver, 5004, "dg");
    Datagram(saver, 5004, "");
    EXPECT_TRUE(External(saver, 8, "x2"));
    EXPECT_TRUE(External(saver, 9, ""));
    ASSERT_TRUE(Close(saver));

    const LoadedFile file = Load(PathOf("a.rec"));
    EXPECT_TRUE(file.inspection.SoundAndClosed()) << FaultText(file.inspection);
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>> got;
    for (const ReadBlock& r : file.Records()) {
        got.emplace_back(r.block.header.type, r.block.header.time, r.block.header.port, r.block.header.length);
    }
    EXPECT_EQ(got, (decltype(got){{1, 0, 7, 3}, {0, 500, 5004, 2}, {1, 500, 8, 2}}));
}

TEST_F(Recorder, ANewFileNameFinalisesTheOldFileFirst)
{
    IVCSaver saver;
    const std::string first = StartFile(saver, "first.rec");
    At(100);
    Datagram(saver, 5004, "one");
    ASSERT_TRUE(Open(saver, PathOf("second.rec")));

    const LoadedFile old = Load(first);
    EXPECT_TRUE(old.inspection.SoundAndClosed());
    ASSERT_EQ(old.Records().size(), 1u);
    EXPECT_EQ(old.Records()[0].payload, Bytes("one"));

    // The new file waits for its own start.
    EXPECT_EQ(saver.GetState(), IVCSaver::State::HeaderWritten);
    Datagram(saver, 5004, "dropped");
    ASSERT_TRUE(Close(saver));
    EXPECT_TRUE(Load(PathOf("second.rec")).Records().empty());
}

TEST_F(Recorder, The501stPendingRecordIsDroppedAndLaterOnesAccepted)
{
    IVCSaver saver(3'600'000);  // the thread writes only when asked
    const std::string path = StartFile(saver);
    for (int i = 0; i <= 500; ++i) {
        Datagram(saver, 5004, "r" + std::to_string(i));
    }
    EXPECT_EQ(saver.PendingRecords(), 500u);
    EXPECT_EQ(saver.DroppedRecords(), 1u);

    saver.WriteSoon();
    ASSERT_TRUE(WaitUntil([&] { return saver.PendingRecords() == 0; }));
    Datagram(saver, 5004, "after");
    EXPECT_EQ(saver.PendingRecords(), 1u);
    ASSERT_TRUE(Close(saver));

    const std::vector<ReadBlock> records = Load(path).Records();
    ASSERT_EQ(records.size(), 501u);
    EXPECT_EQ(records[499].payload, Bytes("r499"));
    EXPECT_EQ(records[500].payload, Bytes("after"));
}

TEST_F(Recorder, AFileThatCannotBeOpenedLeavesNoFile)
{
    IVCSaver saver;
    EXPECT_FALSE(Open(saver, ""));
    EXPECT_FALSE(Open(saver, PathOf("no/such/folder.rec")));
    EXPECT_EQ(saver.GetState(), IVCSaver::State::NoFile);
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_FALSE(Open(saver, "/dev/full"));  // created, but the header cannot be written
        EXPECT_EQ(saver.GetState(), IVCSaver::State::NoFile);
    }
    {
        std::lock_guard<std::mutex> guard(saver.Lock());
        EXPECT_EQ(saver.FileName(), "") << "no stale name is left";
    }
    EXPECT_FALSE(saver.StartRecording());
    EXPECT_TRUE(Open(saver, PathOf("fine.rec")));  // and the recorder still works
    EXPECT_EQ(saver.GetState(), IVCSaver::State::HeaderWritten);
}

TEST_F(Recorder, WriteErrorsLoseOnlyTheRecordsThatFailed)
{
    IVCSaver saver;
    std::atomic<int> reports{0};
    saver.SetWriteFailureReport([&] { ++reports; });
    const std::string path = StartFile(saver);
    constexpr uint64_t kRecord = kBlockHeaderSize + 2;
    FileSizeLimit limit(kAfterStreamHeader + 2 * kRecord);
    for (int i = 0; i < 3; ++i) {
        At(100 * (i + 1));
        Datagram(saver, 5004, "r" + std::to_string(i));
    }
    saver.WriteSoon();
    ASSERT_TRUE(WaitUntil([&] { return saver.LostRecords() == 1; }));
    EXPECT_EQ(saver.WritePosition(), kAfterStreamHeader + 2 * kRecord);
    EXPECT_EQ(reports.load(), 1) << "the host hears of the failure";
    EXPECT_TRUE(saver.WriteFailed());
    for (int i = 0; i < 5; ++i) {
        Datagram(saver, 5004, "x" + std::to_string(i));
    }
    saver.WriteSoon();
    ASSERT_TRUE(WaitUntil([&] { return saver.LostRecords() == 6; }));
    EXPECT_EQ(reports.load(), 1) << "once per recording, not once per record";

    limit.Lift();
    At(400);
    Datagram(saver, 5004, "r3");
    ASSERT_TRUE(Close(saver));

    const LoadedFile file = Load(path);
    EXPECT_TRUE(file.inspection.SoundAndClosed()) << FaultText(file.inspection);
    ASSERT_EQ(file.Records().size(), 3u);
    EXPECT_EQ(file.Records()[2].payload, Bytes("r3"));
    EXPECT_EQ(file.Header().duration, 400u);

    // A new recording that fails is reported again.
    const std::string next = StartFile(saver, "b.rec");
    EXPECT_FALSE(saver.WriteFailed());
    limit.Set(kAfterStreamHeader);
    Datagram(saver, 5004, "y");
    saver.WriteSoon();
    EXPECT_TRUE(WaitUntil([&] { return reports.load() == 2; }));
    limit.Lift();
    ASSERT_TRUE(Close(saver));
}

TEST_F(Recorder, AnIndexThatCannotBeWrittenLeavesAnOpenButSoundFile)
{
    IVCSaver saver;
    const std::string path = StartFile(saver);
    At(100);
    Datagram(saver, 5004, "kept");
    WaitWritten(saver, kAfterStreamHeader + kBlockHeaderSize + 4);
    {
        FileSizeLimit limit(saver.WritePosition());
        ASSERT_TRUE(Close(saver));
    }
    EXPECT_EQ(saver.GetState(), IVCSaver::State::NoFile);
    const LoadedFile file = Load(path);
    EXPECT_TRUE(file.inspection.SoundButNotClosed());
    EXPECT_EQ(file.inspection.summary.trailingBytes, 0u);
    ASSERT_EQ(file.Records().size(), 1u);
    EXPECT_EQ(file.Records()[0].payload, Bytes("kept"));
}

TEST_F(Recorder, ProducersOnSeveralThreadsLoseNothingUncounted)
{
    IVCSaver saver(1);
    const std::string path = StartFile(saver);
    constexpr int kPerThread = 400;
    auto produce = [&saver](uint32_t port) {
        for (int i = 0; i < kPerThread; ++i) {
            Datagram(saver, port, std::to_string(i));
        }
    };
    std::thread first(produce, 1);
    std::thread second(produce, 2);
    External(saver, 3, "host");
    first.join();
    second.join();
    ASSERT_TRUE(Close(saver));

    const LoadedFile file = Load(path);
    EXPECT_TRUE(file.inspection.SoundAndClosed());
    EXPECT_EQ(file.Records().size() + saver.DroppedRecords(), 2u * kPerThread + 1);
    // Each producer's records keep their order.
    int next[3] = {0, 0, 0};
    for (const ReadBlock& r : file.Records()) {
        if (r.block.header.port < 3) {
            const int value = std::stoi(std::string(reinterpret_cast<const char*>(r.payload.data()), r.payload.size()));
            EXPECT_GE(value, next[r.block.header.port]);
            next[r.block.header.port] = value + 1;
        }
    }
}

} // namespace zan
