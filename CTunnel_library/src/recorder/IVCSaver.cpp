#include "IVCSaver.h"

#include "ZAN_Time.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace zan {

using namespace RecordingFileFormat;

namespace {

constexpr size_t kPayloadAlignment = 32;

std::array<std::byte, kBlockHeaderSize> EncodedBlockHeader(const BlockHeader& header)
{
    std::array<std::byte, kBlockHeaderSize> bytes{};
    EncodeBlockHeader(header, bytes);
    return bytes;
}

}  // namespace

IVCSaver::IVCSaver(int64_t writeIntervalMs) : index(kMaxIndexEntries, 0), writeIntervalMs(writeIntervalMs)
{
}

IVCSaver::~IVCSaver()
{
    Close();
    Stop();
}

bool IVCSaver::OpenRecording(const std::string& name)
{
    if (!Close()) {
        return false;
    }
    fileName = name;
    writeFailed.store(false, std::memory_order_release);
    // The thread starts only once the headers are in the file, so that the
    // file has exactly one writer at every moment.
    if (Open() && WriteHeader() && Start()) {
        return true;
    }
    Close();
    return false;
}

bool IVCSaver::SetHeader(std::span<const std::byte> bytes)
{
    if (bytes.size() > std::numeric_limits<uint32_t>::max()) {
        return false;
    }
    header.assign(bytes.begin(), bytes.end());
    return true;
}

void IVCSaver::RecordDatagram(uint32_t port, std::span<const std::byte> payload)
{
    if (GetState() == State::Recording) {
        Record(BlockType::TunnelDatagram, port, payload);
    }
}

bool IVCSaver::SaveExternalData(uint32_t port, std::span<const std::byte> bytes)
{
    const State now = GetState();
    if (now != State::HeaderWritten && now != State::Recording) {
        return false;
    }
    Record(BlockType::ExternalData, port, bytes);
    return true;
}

bool IVCSaver::StartRecording()
{
    if (GetState() != State::HeaderWritten) {
        return false;
    }
    // The start time is in place before any producer can see Recording.
    startTime.store(GetTimeMs(), std::memory_order_release);
    state.store(State::Recording, std::memory_order_release);
    return true;
}

uint8_t IVCSaver::RecordingModeState() const
{
    return GetState() != State::NoFile ? 1 : 0;
}

size_t IVCSaver::PendingRecords() const
{
    std::lock_guard<std::mutex> guard(queueLock);
    return queue.size();
}

bool IVCSaver::Open()
{
    if (fileName.empty()) {
        return false;
    }
    Drain();
    file.Close();
    if (!file.Create(fileName)) {
        return false;
    }
    writePosition.store(0, std::memory_order_release);
    state.store(State::Created, std::memory_order_release);
    return true;
}

bool IVCSaver::WriteHeader()
{
    if (GetState() != State::Created) {
        return false;
    }
    std::array<std::byte, kFileHeaderSize> fileHeader{};
    EncodeFileHeader(OpenFileHeader(), fileHeader);
    const auto blockHeader = EncodedBlockHeader(BlockHeader{static_cast<uint32_t>(BlockType::StreamHeader), 0,
                                                            kNoPort, static_cast<uint32_t>(header.size())});
    // A file without its stream-header block would not parse, so a failure
    // of either write fails the open.
    if (!file.Append(fileHeader) || !file.Append(blockHeader, header)) {
        return false;
    }
    index[0] = file.Position();
    writePosition.store(file.Position(), std::memory_order_release);
    state.store(State::HeaderWritten, std::memory_order_release);
    return true;
}

uint32_t IVCSaver::RecordTime() const
{
    if (GetState() != State::Recording) {
        return 0;
    }
    // Whole 64-bit milliseconds: the low 32 bits of the clock wrap every
    // 49.7 days, and a recording running across that moment must keep
    // counting up. A clock that stepped back gives 0; times beyond the
    // 32-bit field stay at its maximum.
    const int64_t elapsed = GetTimeMs() - startTime.load(std::memory_order_acquire);
    if (elapsed <= 0) {
        return 0;
    }
    return static_cast<uint32_t>(std::min<int64_t>(elapsed, std::numeric_limits<uint32_t>::max()));
}

void IVCSaver::UpdateIndex(uint32_t recordTime)
{
    // Entries only ever move forwards: a record whose slot lies behind the
    // last one indexed (the wall clock stepped back) leaves the index alone,
    // so entries stay in file order and seeking never lands after records
    // of its interval.
    const auto slot = static_cast<int32_t>(IndexSlot(recordTime));
    if (slot <= lastIndexSlot) {
        return;
    }
    const uint64_t position = writePosition.load(std::memory_order_acquire);
    const int32_t last = std::min<int32_t>(slot, kMaxIndexEntries - 1);
    for (int32_t j = lastIndexSlot + 1; j <= last; ++j) {
        index[static_cast<size_t>(j)] = position;
    }
    lastIndexSlot = slot;
}

void IVCSaver::Record(BlockType type, uint32_t port, std::span<const std::byte> payload)
{
    const uint32_t time = RecordTime();
    UpdateIndex(time);
    if (payload.empty()) {
        return;
    }
    if (payload.size() > std::numeric_limits<uint32_t>::max()) {
        droppedRecords.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    std::lock_guard<std::mutex> guard(queueLock);
    if (queue.size() >= kMaxPendingRecords) {
        droppedRecords.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    try {
        PendingRecord record{BlockHeader{static_cast<uint32_t>(type), time, port,
                                         static_cast<uint32_t>(payload.size())},
                             std::unique_ptr<uint8_t, AlignedFree>(AllocateAligned(payload.size(), kPayloadAlignment))};
        std::memcpy(record.payload.get(), payload.data(), payload.size());
        queue.push_back(std::move(record));
    } catch (const std::bad_alloc&) {
        // The packet paths never fail because of the recorder.
        droppedRecords.fetch_add(1, std::memory_order_relaxed);
    }
}

int IVCSaver::Run()
{
    wake.Wait(writeIntervalMs);
    WriteQueued(true);
    return 0;
}

void IVCSaver::WriteQueued(bool honourStop)
{
    for (;;) {
        PendingRecord record;
        {
            std::lock_guard<std::mutex> guard(queueLock);
            if (queue.empty() || (honourStop && IsStopRequested())) {
                return;
            }
            record = std::move(queue.front());
            queue.pop_front();
        }
        // Written outside queueLock: producers never wait for the disk.
        WriteRecord(record);
    }
}

void IVCSaver::WriteRecord(const PendingRecord& record)
{
    const auto blockHeader = EncodedBlockHeader(record.header);
    const std::span<const std::byte> payload(reinterpret_cast<const std::byte*>(record.payload.get()),
                                             record.header.length);
    if (!file.Append(blockHeader, payload)) {
        // Lost; the file still ends after the last good record. The first
        // loss of a recording is reported (once: a full disk fails every
        // record), and later records are still tried.
        lostRecords.fetch_add(1, std::memory_order_relaxed);
        if (!writeFailed.exchange(true, std::memory_order_acq_rel) && writeFailureReport) {
            writeFailureReport();
        }
        return;
    }
    lastRecordTime = record.header.time;
    writePosition.store(file.Position(), std::memory_order_release);
}

bool IVCSaver::Close()
{
    if (GetState() == State::NoFile) {
        return true;
    }
    // Stop wakes the writer; what it leaves queued is drained here.
    if (!Stop()) {
        return false;
    }
    Drain();
    const State now = GetState();
    if ((now == State::HeaderWritten || now == State::Recording) && WriteIndexAndFinalHeader()) {
        state.store(State::Finalised, std::memory_order_release);
    }
    file.Close();
    ResetAfterClose();
    return true;
}

bool IVCSaver::WriteIndexAndFinalHeader()
{
    const uint32_t count = IndexEntryCount(lastRecordTime);
    std::vector<std::byte> entries(size_t{count} * kIndexEntrySize);
    for (uint32_t i = 0; i < count; ++i) {
        StoreLe64(index[i], std::span(entries).subspan(size_t{i} * kIndexEntrySize).first<kIndexEntrySize>());
    }
    const uint32_t closeTime = static_cast<uint32_t>(GetTimeMs());
    const auto blockHeader = EncodedBlockHeader(BlockHeader{static_cast<uint32_t>(BlockType::Index), closeTime,
                                                            kNoPort, static_cast<uint32_t>(entries.size())});
    const uint64_t indexOffset = file.Position();
    // The header is rewritten only when the index is really there: a file
    // whose index could not be written keeps the header of an open file.
    if (!file.Append(blockHeader, entries)) {
        return false;
    }
    std::array<std::byte, kFileHeaderSize> fileHeader{};
    EncodeFileHeader(FinalFileHeader(lastRecordTime, indexOffset, file.Position()), fileHeader);
    return file.WriteAt(0, fileHeader);
}

void IVCSaver::ResetAfterClose()
{
    state.store(State::NoFile, std::memory_order_release);
    startTime.store(0, std::memory_order_release);
    fileName.clear();
    lastIndexSlot = 0;
    lastRecordTime = 0;
    writePosition.store(0, std::memory_order_release);
}

} // namespace zan
