#include "ProgramRun.h"
#include "registry_test_util.h"

namespace zan {
namespace {

// A program's exit code with its standard output and error together.
struct ProgramRun {
    int exitCode = -1;
    std::string output;
};

ProgramRun Execute(const std::string& command)
{
    const ProgramOutcome outcome = RunProgram(command);
    return {outcome.code, outcome.out + outcome.err};
}

const std::string kRegsvr = ZAN_REGSVR_PROGRAM;
const std::string kTunnel = ZAN_TUNNEL_PROGRAM;
const std::string kModule = ZAN_MODULE_PATH;

TEST(CommandLine, RegisterListCallByProgIdAndUnregister)
{
    TemporaryRegistry registry;
    registry.Write(ForeignEntries().ToText());
    const std::string before = registry.Read();

    ProgramRun run = Execute(kRegsvr + " " + kModule);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    run = Execute(kRegsvr + " --list");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.output.find("[HKCR\\ZAN_Tunnel.ZAN_Tunnel\\CurVer]"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("@=\"" + kModule + "\""), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Other Class"), std::string::npos) << "someone else's entries are listed too";

    run = Execute(kTunnel + " --progid ZAN_Tunnel.ZAN_Tunnel --set ttl=17 --call GetProperties ttl");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("GetProperties = \"17\" (0x00000000)"), std::string::npos) << run.output;
    run = Execute(kTunnel + " --progid ZAN_Tunnel.ZAN_Tunnel.1 --call AddReceivePort 70000");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("0x80070057"), std::string::npos) << run.output;
    run = Execute(kTunnel + " --progid ZAN_Tunnel.ZAN_Tunnel --call SetDestinationPort many 0");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("Type mismatch. (argument 1)"), std::string::npos) << run.output;
    run = Execute(kTunnel + " --progid ZAN_Tunnel.ZAN_Tunnel --call Launch");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("no member named Launch"), std::string::npos) << run.output;

    run = Execute(kRegsvr + " -u " + kModule);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(registry.Read(), before);
    run = Execute(kTunnel + " --progid ZAN_Tunnel.ZAN_Tunnel --call Start");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("0x80040154"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("is not registered"), std::string::npos) << run.output;
}

TEST(CommandLine, BadUsageAndBadFilesGiveTheirExitCodes)
{
    TemporaryRegistry registry;
    EXPECT_EQ(Execute(kRegsvr).exitCode, 2);
    EXPECT_EQ(Execute(kRegsvr + " --list " + kModule).exitCode, 2);
    EXPECT_EQ(Execute(kRegsvr + " --bogus").exitCode, 2);

    ProgramRun run = Execute(kRegsvr + " --list");
    EXPECT_EQ(run.exitCode, 0) << "no file yet is an empty registry";
    run = Execute(kRegsvr + " " + registry.folder + "/missing.so");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("cannot load"), std::string::npos) << run.output;
    run = Execute(kRegsvr + " /lib/x86_64-linux-gnu/libm.so.6");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("no entry point DllRegisterServer"), std::string::npos) << run.output;

    registry.Write("ZAN registry 1\n[HKCR\\x]\n@=\"cut off");
    run = Execute(kRegsvr + " " + kModule);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("damaged"), std::string::npos) << run.output;
    EXPECT_EQ(registry.Read(), "ZAN registry 1\n[HKCR\\x]\n@=\"cut off") << "never rewritten";
    EXPECT_EQ(Execute(kRegsvr + " --list").exitCode, 1);
    run = Execute(kTunnel + " --progid ZAN_Tunnel.ZAN_Tunnel --call Start");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("damaged"), std::string::npos) << run.output;
}

} // namespace
} // namespace zan
