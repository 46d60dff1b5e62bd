// zan-rec's commands on files the recorder wrote, through the same entry
// point as the program, plus the program itself.
#include "ZanRecTestSupport.h"

#include "LoopbackSockets.h"

#include <nlohmann/json.hpp>

namespace zan {

using namespace rectest;
using Json = nlohmann::json;

namespace {

// The JSON lines of a dump: the block lines and the closing "end" object.
struct JsonDump {
    std::vector<Json> blocks;
    Json end;
};

JsonDump ParseDump(const std::string& text)
{
    JsonDump dump;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        Json json = Json::parse(line);  // throws, failing the test, on a malformed line
        if (json.contains("end")) {
            EXPECT_TRUE(dump.end.is_null()) << "a second end line";
            dump.end = json["end"];
        } else {
            EXPECT_TRUE(dump.end.is_null()) << "a block after the end line";
            dump.blocks.push_back(json);
        }
    }
    return dump;
}

}  // namespace

// info, dump and verify in text on a closed, a damaged and an unclosed
// recording. In hex dumps non-printable bytes are dots, and a short last
// line is padded so that the text column stays in place.
TEST_F(ZanRecTest, TextAnswersShowHeaderBlocksPayloadsAndFaults)
{
    const std::string hex = PathOf("hex.rec");
    std::filesystem::rename(WriteDatagrams({{40, 5004, std::string("first\0\x7fline-two-longer!", 23)}}), hex);
    const std::string closed = PathOf("closed.rec");
    const std::string damaged = PathOf("damaged.rec");
    std::filesystem::copy_file(WriteRecording(), closed);
    std::filesystem::copy_file(closed, damaged);
    std::filesystem::resize_file(damaged, 140);
    const std::string open = WriteRecording(5004, false);
    struct Case {
        std::vector<std::string> args;
        int code;
        std::vector<std::string> lines;
    } cases[] = {
        {{"info", closed}, ZanRecExit::kOk,
         {"magic: ZANS", "version: 3", "closed properly: yes", "duration: 6000 ms", "index: offset 134, 2 entries",
          "stream header: 3 bytes", "0 datagram: 2 blocks, 11 bytes", "1 external: 2 blocks, 8 bytes",
          "datagram port 5004: 2 blocks, 11 bytes", "external port 7: 2 blocks, 8 bytes",
          "file end: 166 (file size 166)"}},
        {{"dump", closed, "--hex"}, ZanRecExit::kOk,
         {"            32  stream-header          0          -          3",
          "            71  datagram              40       5004          5", "000000: 66 69 72 73 74", "index"}},
        {{"dump", hex, "--hex", "--port", "5004"}, ZanRecExit::kOk,
         {"000000: 66 69 72 73 74 00 7f 6c 69 6e 65 2d 74 77 6f 2d  |first..line-two-|\n",
          "000010: 6c 6f 6e 67 65 72 21                             |longer!|\n"}},
        {{"verify", closed}, ZanRecExit::kOk, {"OK: a closed recording of 6 blocks, duration 6000 ms, 2 index entries"}},
        {{"verify", damaged}, ZanRecExit::kBadFile, {"FAULT at offset 24: the file end says 166 but the file has 140 bytes"}},
        {{"verify", open}, ZanRecExit::kNotClosed,
         {"NOT CLOSED", "complete blocks: 5, ending at offset 134",
          "           112  datagram            6000       5004          6"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const ProgramOutcome run = ZanRec(c.args);
        EXPECT_EQ(run.code, c.code);
        for (const std::string& line : c.lines) {
            EXPECT_TRUE(Has(run.out, line)) << line << "\n" << run.out;
        }
    }
    EXPECT_TRUE(Close(*saver));
}

TEST_F(ZanRecTest, JsonAnswersSayTheSameAsTheText)
{
    const std::string path = WriteRecording();
    ProgramOutcome run = ZanRec({"info", path, "--json"});
    EXPECT_EQ(run.code, ZanRecExit::kOk);
    Json info = Json::parse(run.out);
    const Json expected = {{"status", "ok"}, {"duration_ms", 6000}, {"index", {{"offset", 134}, {"entries", 2}}},
                           {"file_end", 166}, {"stream_header_bytes", 3}, {"fault", nullptr}};
    for (const auto& [key, value] : expected.items()) {
        EXPECT_EQ(info[key], value) << key;
    }
    EXPECT_EQ(info["blocks_by_type"][0], (Json{{"type", 0}, {"name", "datagram"}, {"blocks", 2}, {"bytes", 11}}));
    EXPECT_EQ(info["records_by_port"].size(), 2u);

    run = ZanRec({"dump", path, "--json", "--hex"});
    EXPECT_EQ(run.code, ZanRecExit::kOk);
    const JsonDump dump = ParseDump(run.out);
    ASSERT_EQ(dump.blocks.size(), 6u) << run.out;
    EXPECT_EQ(dump.blocks[0]["type"], "stream-header");
    EXPECT_TRUE(dump.blocks[0]["port"].is_null());
    EXPECT_EQ(dump.blocks[2], (Json{{"offset", 71}, {"type", "datagram"}, {"type_code", 0}, {"time_ms", 40},
                                    {"port", 5004}, {"length", 5}, {"payload", "6669727374"}}));
    EXPECT_EQ(dump.end["status"], "ok");
    EXPECT_EQ(dump.end["shown_blocks"], 6);

    // Damaged, unclosed and foreign files: the status word and the exit
    // code agree with the text commands.
    const std::string open = WriteRecording(5004, false);
    run = ZanRec({"verify", open, "--json"});
    EXPECT_EQ(run.code, ZanRecExit::kNotClosed);
    Json verify = Json::parse(run.out);
    EXPECT_EQ(verify["status"].dump() + verify["duration_ms"].dump() + verify["last_record_ms"].dump(),
              R"("not-closed"null6000)");
    EXPECT_TRUE(Close(*saver));

    std::filesystem::resize_file(path, 140);
    run = ZanRec({"verify", path, "--json"});
    EXPECT_EQ(run.code, ZanRecExit::kBadFile);
    verify = Json::parse(run.out);
    EXPECT_EQ(verify["status"].dump() + verify["fault"]["offset"].dump(), R"("damaged"24)");

    const std::string foreign = PathOf("foreign.bin");
    std::ofstream(foreign) << "not a recording at all, but long enough for a header";
    for (const char* command : {"info", "verify", "dump"}) {
        run = ZanRec({command, foreign, "--json"});
        EXPECT_EQ(run.code, ZanRecExit::kBadFile) << command;
        const Json answer = std::string(command) == "dump" ? ParseDump(run.out).end : Json::parse(run.out);
        EXPECT_EQ(answer["status"], "not-a-recording") << command;
    }
}

TEST_F(ZanRecTest, DumpFiltersRecordsByPortAndTime)
{
    // Records: external 7 at 0, datagrams 5004 at 40, 5006 at 1234,
    // external 7 and datagram 5004 at 6000.
    const std::string path =
        WriteDatagrams({{40, 5004, "first"}, {1234, 5006, "middle"}, {6000, 5004, "second"}});
    using Shown = std::vector<std::pair<uint32_t, uint32_t>>;  // (time, port)
    struct Case {
        std::vector<std::string> filter;
        Shown shown;
    } cases[] = {
        {{"--port", "5004"}, {{40, 5004}, {6000, 5004}}},
        {{"--port", "5004", "--port", "7"}, {{0, 7}, {40, 5004}, {6000, 7}, {6000, 5004}}},
        {{"--from", "1s"}, {{1234, 5006}, {6000, 7}, {6000, 5004}}},
        {{"--to", "1234"}, {{0, 7}, {40, 5004}, {1234, 5006}}},
        {{"--from", "41", "--to", "6s", "--port", "5006"}, {{1234, 5006}}},
        {{"--from", "6001"}, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"dump", path, "--json"};
        args.insert(args.end(), c.filter.begin(), c.filter.end());
        const ProgramOutcome run = ZanRec(args);
        SCOPED_TRACE(::testing::PrintToString(c.filter));
        EXPECT_EQ(run.code, 0) << run.err;
        const JsonDump dump = ParseDump(run.out);
        Shown shown;
        for (const Json& block : dump.blocks) {
            shown.emplace_back(block["time_ms"], block["port"]);
        }
        EXPECT_EQ(shown, c.shown);
        EXPECT_EQ(dump.end["shown_blocks"], c.shown.size());
        EXPECT_EQ(dump.end["complete_blocks"], 7);
    }
    const ProgramOutcome text = ZanRec({"dump", path, "--port", "5006"});
    EXPECT_TRUE(Has(text.out, "shown: 1 of 7 blocks")) << text.out;
}

TEST(RecordTime, MillisecondsOrANumberWithAUnit)
{
    const std::pair<const char*, std::optional<uint32_t>> cases[] = {
        {"0", 0},         {"1500", 1500},      {"1500ms", 1500}, {"1.5s", 1500},    {"2min", 120000},
        {"1h", 3600000},  {"1e3", 1000},       {"0.0004s", 0},   {"4294967295", UINT32_MAX},
        {"-1", std::nullopt}, {"5x", std::nullopt}, {"", std::nullopt}, {"s", std::nullopt},
        {"1200h", std::nullopt}, {"4294967296", std::nullopt}, {"nan", std::nullopt}, {"1.5 s", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(ParseRecordTime(text), expected) << "'" << text << "'";
    }
}

TEST_F(ZanRecTest, BadCommandLinesAndFilesAreRefusedClearly)
{
    const std::string path = WriteRecording();
    const std::string foreign = PathOf("foreign.bin");
    std::ofstream(foreign) << "not a recording at all, but long enough for a header";
    const std::string empty = PathOf("empty.rec");
    std::ofstream(empty).flush();
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* text;
    } cases[] = {
        {{}, ZanRecExit::kUsage, "subcommand is required"},
        {{"play", path}, ZanRecExit::kUsage, "unknown command 'play'"},
        {{"info"}, ZanRecExit::kUsage, "FILE is required"},
        {{"info", path, "--bogus"}, ZanRecExit::kUsage, "--bogus"},
        {{"dump", path, "--address", "1"}, ZanRecExit::kUsage, "--address"},
        {{"dump", path, "--from", "5x"}, ZanRecExit::kUsage, "'5x' is not a time"},
        {{"dump", path, "--from", "2s", "--to", "1s"}, ZanRecExit::kUsage, "--from is later than --to"},
        {{"dump", path, "--port", "http"}, ZanRecExit::kUsage, "http"},
        {{"replay", path}, ZanRecExit::kUsage, "--address is required"},
        {{"replay", path, "--address", "127.0.0.1", "--speed", "fast"}, ZanRecExit::kUsage, "fast"},
        {{"replay", path, "--address", "localhost"}, ZanRecExit::kUsage, "not a numeric IPv4 or IPv6 address"},
        {{"replay", path, "--address", "127.0.0.1", "--speed", "0"}, ZanRecExit::kUsage, "above 0"},
        {{"export", path}, ZanRecExit::kUsage, "--pcap is required"},
        {{"export", path, "--pcap", PathOf("x.pcap"), "--source", "host"}, ZanRecExit::kUsage,
         "'host' is not a numeric IPv4 address"},
        {{"export", path, "--pcap", PathOf("no/such/folder.pcap")}, ZanRecExit::kBadFile, "folder.pcap"},
        {{"export", path, "--pcap", PathOf("./session.rec")}, ZanRecExit::kUsage, "would overwrite the recording"},
        // An input file that is not there or is no file is a usage error;
        // one that is there but damaged or foreign is a bad file.
        {{"info", PathOf("missing.rec")}, ZanRecExit::kUsage, "does not exist"},
        {{"verify", folder.string()}, ZanRecExit::kUsage, "directory"},
        {{"info", foreign}, ZanRecExit::kBadFile, "not a recording: at offset 0: bad magic 6e 6f 74 20"},
        {{"export", foreign, "--pcap", PathOf("foreign.pcap")}, ZanRecExit::kBadFile, "not a recording: bad magic"},
        {{"verify", empty}, ZanRecExit::kBadFile, "the file is empty"},
    };
    for (const Case& c : cases) {
        const ProgramOutcome run = ZanRec(c.args);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(run.code, c.code) << run.out << run.err;
        EXPECT_TRUE(Has(run.out + run.err, c.text)) << run.out << run.err;
    }
    EXPECT_EQ(ZanRec({"verify", path}).code, ZanRecExit::kOk) << "the recording survived every refusal";
    EXPECT_FALSE(std::filesystem::exists(PathOf("foreign.pcap"))) << "no capture of a foreign file is left";
}

TEST_F(ZanRecTest, ReplaySendsTheDatagramsToTheRecordedPorts)
{
    const sockettest::Fd receiver = sockettest::BoundSocket(SOCK_DGRAM);
    const std::string path = WriteRecording(sockettest::LocalPort(receiver));
    const ProgramOutcome run = ZanRec({"replay", path, "--address", "127.0.0.1", "--speed", "100"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "replayed 2 datagrams (11 bytes) to 127.0.0.1")) << run.out;
    // External data stays in the file; only the datagrams travel, in order.
    EXPECT_EQ(sockettest::ReadSome(receiver, 5000), "first");
    EXPECT_EQ(sockettest::ReadSome(receiver, 5000), "second");
}

TEST_F(ZanRecTest, TheProgramAnswersWithTheDocumentedExitCodes)
{
    const std::string path = WriteRecording();
    const std::string damaged = PathOf("damaged.rec");
    std::filesystem::copy_file(path, damaged);
    std::filesystem::resize_file(damaged, 140);
    const ProgramCase cases[] = {
        {"verify " + path, 0, "OK: a closed recording", ""},
        {"--help", 0, "export", ""},
        {"--version", 0, "zan-rec 0.1", ""},
        {"verify " + damaged, 1, "FAULT at offset 24", ""},
        {"info " + PathOf("missing.rec"), 2, "", "does not exist"},
    };
    ExpectAnswers(ZAN_REC_PROGRAM, cases);
}

} // namespace zan
