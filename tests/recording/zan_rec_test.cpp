// zan-rec's commands on files the recorder wrote, through the same entry
// point as the program, plus the program itself once.
#include "RecorderTestSupport.h"

#include "RecordingCommands.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

namespace zan {

using namespace rectest;

namespace {

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

Outcome ZanRec(std::vector<std::string> args)
{
    std::ostringstream out;
    std::ostringstream err;
    const int code = RunZanRec(args, out, err);
    return Outcome{code, out.str(), err.str()};
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A UDP receiver on an ephemeral loopback port with a bounded wait.
class LoopbackReceiver {
public:
    LoopbackReceiver()
    {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        timeval wait{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~LoopbackReceiver() { ::close(fd); }

    std::string Receive()
    {
        char buffer[2048];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        return got < 0 ? std::string("<nothing>") : std::string(buffer, static_cast<size_t>(got));
    }

    uint16_t port = 0;

private:
    int fd = -1;
};

class ZanRecTest : public RecorderTest {
protected:
    // A closed recording: external data in state 2, two datagrams on
    // `port`, one external block after the start.
    std::string WriteRecording(uint32_t port = 5004, bool close = true)
    {
        const std::string path = PathOf("session.rec");
        saver = std::make_unique<IVCSaver>();
        clock->Set(kStart);
        SetHeader(*saver, "hdr");
        EXPECT_TRUE(Open(*saver, path));
        External(*saver, 7, "meta");
        EXPECT_TRUE(saver->StartRecording());
        clock->Set(kStart + 40);
        Datagram(*saver, port, "first");
        clock->Set(kStart + 6000);
        External(*saver, 7, "note");
        Datagram(*saver, port, "second");
        if (close) {
            EXPECT_TRUE(Close(*saver));
        } else {
            WaitWritten(*saver, 134);
        }
        return path;
    }
    std::unique_ptr<IVCSaver> saver;
};

}  // namespace

TEST_F(ZanRecTest, InfoReportsHeaderIndexAndCounts)
{
    const std::string path = WriteRecording();
    const Outcome run = ZanRec({"info", path});
    EXPECT_EQ(run.code, 0) << run.out;
    for (const char* line : {"magic: ZANS", "version: 3", "closed properly: yes", "duration: 6000 ms",
                             "index: offset 134, 2 entries", "stream header: 3 bytes",
                             "0 datagram: 2 blocks, 11 bytes", "1 external: 2 blocks, 8 bytes",
                             "datagram port 5004: 2 blocks, 11 bytes", "external port 7: 2 blocks, 8 bytes"}) {
        EXPECT_TRUE(Has(run.out, line)) << line << "\n" << run.out;
    }
    EXPECT_TRUE(Has(run.out, "file end: 166 (file size 166)")) << run.out;
}

TEST_F(ZanRecTest, DumpListsEveryBlockWithItsPayload)
{
    const Outcome run = ZanRec({"dump", WriteRecording(), "--hex"});
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(Has(run.out, "            32  stream-header          0          -          3")) << run.out;
    EXPECT_TRUE(Has(run.out, "            71  datagram              40       5004          5")) << run.out;
    EXPECT_TRUE(Has(run.out, "000000: 66 69 72 73 74")) << run.out;  // "first"
    EXPECT_TRUE(Has(run.out, "index")) << run.out;
}

TEST_F(ZanRecTest, VerifyTellsSoundDamagedAndUnclosedFilesApart)
{
    const std::string path = WriteRecording();
    Outcome run = ZanRec({"verify", path});
    EXPECT_EQ(run.code, ZanRecExit::kOk) << run.out;
    EXPECT_TRUE(Has(run.out, "OK: a closed recording of 6 blocks, duration 6000 ms, 2 index entries")) << run.out;

    std::filesystem::resize_file(path, 140);
    run = ZanRec({"verify", path});
    EXPECT_EQ(run.code, ZanRecExit::kBadFile);
    EXPECT_TRUE(Has(run.out, "FAULT at offset 24: the file end says 166 but the file has 140 bytes")) << run.out;

    const std::string open = WriteRecording(5004, false);
    run = ZanRec({"verify", open});
    EXPECT_EQ(run.code, ZanRecExit::kNotClosed) << run.out;
    EXPECT_TRUE(Has(run.out, "NOT CLOSED")) << run.out;
    EXPECT_TRUE(Has(run.out, "complete blocks: 5, ending at offset 134")) << run.out;
    EXPECT_TRUE(Has(run.out, "           112  datagram            6000       5004          6")) << run.out;
    EXPECT_TRUE(Close(*saver));
}

TEST_F(ZanRecTest, BadCommandLinesAndFilesAreRefusedClearly)
{
    const std::string foreign = PathOf("foreign.bin");
    std::ofstream(foreign) << "not a recording at all, but long enough for a header";
    const std::string empty = PathOf("empty.rec");
    std::ofstream(empty).flush();
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* text;
    } cases[] = {
        {{}, ZanRecExit::kUsage, "usage:"},
        {{"play", "x"}, ZanRecExit::kUsage, "unknown command 'play'"},
        {{"info"}, ZanRecExit::kUsage, "no FILE given"},
        {{"dump", "x", "--address", "1"}, ZanRecExit::kUsage, "unexpected argument '--address'"},
        {{"replay", "x"}, ZanRecExit::kUsage, "replay needs --address"},
        {{"replay", "x", "--address", "127.0.0.1", "--speed", "fast"}, ZanRecExit::kUsage, "'fast' is not a number"},
        {{"info", PathOf("missing.rec")}, ZanRecExit::kBadFile, "No such file"},
        {{"info", folder.string()}, ZanRecExit::kBadFile, "is a directory"},
        {{"info", foreign}, ZanRecExit::kBadFile, "not a recording: at offset 0: bad magic 6e 6f 74 20"},
        {{"verify", empty}, ZanRecExit::kBadFile, "the file is empty"},
        {{"replay", empty, "--address", "localhost"}, ZanRecExit::kUsage, "not a numeric IPv4 or IPv6 address"},
        {{"replay", empty, "--address", "127.0.0.1", "--speed", "0"}, ZanRecExit::kUsage, "above 0"},
    };
    for (const Case& c : cases) {
        const Outcome run = ZanRec(c.args);
        SCOPED_TRACE(c.text);
        EXPECT_EQ(run.code, c.code);
        EXPECT_TRUE(Has(run.out + run.err, c.text)) << run.out << run.err;
    }
}

TEST_F(ZanRecTest, ReplaySendsTheDatagramsToTheRecordedPorts)
{
    LoopbackReceiver receiver;
    const std::string path = WriteRecording(receiver.port);
    const Outcome run = ZanRec({"replay", path, "--address", "127.0.0.1", "--speed", "100"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "replayed 2 datagrams (11 bytes) to 127.0.0.1")) << run.out;
    // External data stays in the file; only the datagrams travel, in order.
    EXPECT_EQ(receiver.Receive(), "first");
    EXPECT_EQ(receiver.Receive(), "second");
}

TEST_F(ZanRecTest, TheProgramRunsTheSameCommands)
{
    const std::string path = WriteRecording();
    const std::string command = std::string(ZAN_REC_PROGRAM) + " verify " + path;
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[256] = {};
    const size_t got = std::fread(buffer, 1, sizeof buffer - 1, pipe);
    const int status = ::pclose(pipe);
    EXPECT_TRUE(Has(std::string(buffer, got), "OK: a closed recording")) << buffer;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace zan
