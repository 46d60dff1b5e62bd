#pragma once

#include "CMediaThread.h"
#include "CSyncEvent.h"
#include "CZAN_DynamicBuffer.h"
#include "RecordingFileFormat.h"
#include "RecordingFileWriter.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace zan {

// The recorder: writes the datagrams that cross the tunnel, a stream header
// and data the host adds into one recording file (RecordingFileFormat.h).
//
//   engine sender/receiver paths --RecordDatagram--+
//   host (control)           --SaveExternalData----+--> queue (at most 500)
//                                                          |
//   recorder thread, every 200 ms: pops one record at a time and appends it
//   host: OpenRecording / Close: stop the thread, write what is left, the
//         index and the final file header
//
// Producers only copy the payload into the queue; all file output happens
// on the recorder's thread, or on the closing thread once the recorder's
// thread has stopped, so the file has one writer at a time.
//
// Locking: the engine owns the use of the recorder lock (Lock()). Every
// call marked "Caller holds Lock()" expects it held; they are serialised by
// it between the host thread and the engine's sender and receiver threads.
// StartRecording and the counters need no lock.
class IVCSaver : private CMediaThread {
public:
    enum class State : uint32_t {
        NoFile = 0,         // no file
        Created = 1,        // file created, file header not yet written
        HeaderWritten = 2,  // headers written; external data is accepted
        Recording = 3,      // datagrams and external data are recorded
        Finalised = 4,      // index and final header written (only while closing)
    };

    static constexpr size_t kMaxPendingRecords = 500;
    static constexpr int64_t kWriteIntervalMs = 200;

    // `writeIntervalMs` is how long the recorder's thread sleeps between two
    // batches; tests lengthen it to keep records pending.
    explicit IVCSaver(int64_t writeIntervalMs = kWriteIntervalMs);
    // Closes an open recording. The owner destroys the recorder only when no
    // other thread uses it, and without holding Lock().
    ~IVCSaver() override;

    IVCSaver(const IVCSaver&) = delete;
    IVCSaver& operator=(const IVCSaver&) = delete;

    std::mutex& Lock() { return recorderLock; }

    // Caller holds Lock(). Closes (and finalises) an open recording, then
    // creates `name` and writes the file header and the stream-header block.
    // On failure the recorder is closed again (state NoFile) and false is
    // returned.
    [[nodiscard]] bool OpenRecording(const std::string& name);

    // Caller holds Lock(). Replaces the stream header; it takes effect at the
    // next OpenRecording. False (and nothing changed) for more than 4 GiB.
    bool SetHeader(std::span<const std::byte> bytes);

    // Caller holds Lock(). Queues a tunnel datagram when recording.
    void RecordDatagram(uint32_t port, std::span<const std::byte> payload);

    // Caller holds Lock(). Queues external data when a file is open with its
    // headers written (time 0 before StartRecording). Returns whether the
    // recorder was in that state.
    bool SaveExternalData(uint32_t port, std::span<const std::byte> bytes);

    // Caller holds Lock(). Writes what is queued, the index and the final
    // file header, and closes the file. False only when called on the
    // recorder's own thread (nothing changes then).
    bool Close();

    // Caller holds Lock(). 1 while a file is open, else 0.
    uint8_t RecordingModeState() const;

    // Caller holds Lock(). The name of the open file, empty when none.
    std::string FileName() const { return fileName; }

    // Starts the recording's clock and lets datagrams in. Only from
    // HeaderWritten; false (state unchanged) otherwise. Needs no lock:
    // the state and start time are atomics.
    bool StartRecording();

    State GetState() const { return state.load(std::memory_order_acquire); }
    // File offset just past the last block written.
    uint64_t WritePosition() const { return writePosition.load(std::memory_order_acquire); }
    size_t PendingRecords() const;
    // Records dropped because the queue was full, and records lost because
    // the file could not take them.
    uint64_t DroppedRecords() const { return droppedRecords.load(std::memory_order_relaxed); }
    uint64_t LostRecords() const { return lostRecords.load(std::memory_order_relaxed); }

    // Asks the recorder's thread to write the queue now rather than at the
    // end of its current interval.
    void WriteSoon() { wake.Set(); }

    // Told once per recording, on the writing thread, when the file first
    // refuses a record (a full disk, say); the records it refuses are lost
    // and counted, later ones are still tried. Set before any recording.
    using WriteFailureReport = std::function<void()>;
    void SetWriteFailureReport(WriteFailureReport report) { writeFailureReport = std::move(report); }
    bool WriteFailed() const { return writeFailed.load(std::memory_order_acquire); }

private:
    struct AlignedFree {
        void operator()(uint8_t* block) const { FreeAligned(block); }
    };
    struct PendingRecord {
        RecordingFileFormat::BlockHeader header;
        std::unique_ptr<uint8_t, AlignedFree> payload;
    };

    int Run() override;
    // The writer may sleep a whole write interval (an hour, say) on `wake`:
    // a stop must not wait for that.
    void OnStopRequested() override { wake.Set(); }

    bool Open();
    bool WriteHeader();
    void Record(RecordingFileFormat::BlockType type, uint32_t port, std::span<const std::byte> payload);
    uint32_t RecordTime() const;
    void UpdateIndex(uint32_t recordTime);
    // Pops and writes queued records in order; with `honourStop` it leaves
    // the rest to Drain once a stop is requested.
    void WriteQueued(bool honourStop);
    void WriteRecord(const PendingRecord& record);
    void Drain() { WriteQueued(false); }
    bool WriteIndexAndFinalHeader();
    void ResetAfterClose();

    std::mutex recorderLock;  // guards: fileName, header, lastIndexSlot, index; serialises the calls above

    std::string fileName;
    std::vector<std::byte> header;  // stream-header bytes for the next file
    int32_t lastIndexSlot = 0;
    std::vector<uint64_t> index;  // one file offset per index interval

    std::atomic<State> state{State::NoFile};
    std::atomic<int64_t> startTime{0};  // GetTimeMs at StartRecording

    // The file and the last record's time belong to whichever thread writes:
    // the recorder's thread while it runs, the closing thread after it
    // stopped. writePosition is also read by producers for the index.
    RecordingFileWriter file;
    uint32_t lastRecordTime = 0;
    std::atomic<uint64_t> writePosition{0};

    mutable std::mutex queueLock;  // guards: queue
    std::deque<PendingRecord> queue;

    CSyncEvent wake{false, false};
    const int64_t writeIntervalMs;
    std::atomic<uint64_t> droppedRecords{0};
    std::atomic<uint64_t> lostRecords{0};
    WriteFailureReport writeFailureReport;
    std::atomic<bool> writeFailed{false};  // this recording lost a record to a write error
};

} // namespace zan
