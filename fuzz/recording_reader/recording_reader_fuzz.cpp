// Arbitrary bytes as a recording file: the reader, the inspector and the
// info, dump --hex and verify commands must neither crash nor allocate
// from lengths found in the file.
#include "MemoryRecordingSource.h"
#include "RecordingCommands.h"
#include "RecordingReader.h"

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <streambuf>

namespace zan {

namespace {

// Takes all output and keeps none, so formatting still runs.
class DiscardBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

}  // namespace

} // namespace zan

using namespace zan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
    MemoryRecordingSource source(bytes);

    // The bare reader: every step stays inside the file.
    RecordingReader reader(source);
    (void)reader.ReadFileHeader();
    RecordingBlock block;
    while (reader.Next(block) == RecordingReader::Step::Block) {
        std::byte last{};
        if (block.header.length != 0 && !reader.ReadPayload(block, block.header.length - 1, {&last, 1})) {
            __builtin_trap();  // a whole block whose payload cannot be read
        }
    }

    DiscardBuffer discard;
    std::ostream out(&discard);
    (void)InfoCommand(source, out);
    (void)InfoCommand(source, out, OutputFormat::Json);
    DumpOptions dump;
    dump.hex = true;
    (void)DumpCommand(source, dump, out);
    dump.format = OutputFormat::Json;
    dump.ports = {5004};
    dump.fromMs = 10;
    (void)DumpCommand(source, dump, out);
    (void)VerifyCommand(source, out);
    (void)VerifyCommand(source, out, OutputFormat::Json);
    return 0;
}
