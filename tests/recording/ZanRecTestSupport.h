#pragma once

// zan-rec's tests: the commands run in-process through the program's entry
// point, and recordings written by the real recorder under the test's
// clock.

#include "ProgramRun.h"
#include "RecorderTestSupport.h"

#include "RecordingCommands.h"

#include <sstream>
#include <vector>

namespace zan {

namespace rectest {

inline ProgramOutcome ZanRec(const std::vector<std::string>& args, bool errIsTerminal = false)
{
    std::ostringstream out;
    std::ostringstream err;
    const int code = RunZanRec(args, out, err, errIsTerminal);
    return ProgramOutcome{code, out.str(), err.str()};
}

inline bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// One datagram of a recording the test writes: its time since the start,
// its port and its payload.
struct Planned {
    uint32_t timeMs;
    uint32_t port;
    std::string payload;
};

class ZanRecTest : public RecorderTest {
protected:
    // A closed recording: external data in state 2, two datagrams on
    // `port`, one external block after the start.
    std::string WriteRecording(uint32_t port = 5004, bool close = true)
    {
        return WriteDatagrams({{40, port, "first"}, {6000, port, "second"}}, close, 134);
    }

    // A recording of `datagrams` (in time order), with external data on
    // port 7 before the start ("meta") and at the last datagram's time
    // ("note"). Unclosed files are waited for until `written` bytes.
    std::string WriteDatagrams(const std::vector<Planned>& datagrams, bool close = true, uint64_t written = 0)
    {
        const std::string path = PathOf("session.rec");
        saver = std::make_unique<IVCSaver>();
        clock->Set(kStart);
        SetHeader(*saver, "hdr");
        EXPECT_TRUE(Open(*saver, path));
        External(*saver, 7, "meta");
        EXPECT_TRUE(saver->StartRecording());
        for (size_t i = 0; i < datagrams.size(); ++i) {
            clock->Set(kStart + datagrams[i].timeMs);
            if (i + 1 == datagrams.size()) {
                External(*saver, 7, "note");
            }
            Datagram(*saver, datagrams[i].port, datagrams[i].payload);
        }
        if (close) {
            EXPECT_TRUE(Close(*saver));
        } else {
            WaitWritten(*saver, written);
        }
        return path;
    }

    std::unique_ptr<IVCSaver> saver;
};

}  // namespace rectest

} // namespace zan
