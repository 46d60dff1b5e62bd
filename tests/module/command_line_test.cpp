#include "ProgramRun.h"
#include "registry_test_util.h"

namespace zan {
namespace {

const std::string kRegsvr = ZAN_REGSVR_PROGRAM;
const std::string kTunnel = ZAN_TUNNEL_PROGRAM;
const std::string kModule = ZAN_MODULE_PATH;
const std::string kByProgId = kTunnel + " --progid ZAN_Tunnel.ZAN_Tunnel";

// Command lines run in order: each one's exit code, and a text its standard
// output or error must hold.
struct Step {
    std::string command;
    int code;
    std::string says;
};

void RunSteps(const std::vector<Step>& steps)
{
    for (const Step& step : steps) {
        SCOPED_TRACE(step.command);
        const ProgramOutcome run = RunProgram(step.command);
        EXPECT_EQ(run.code, step.code) << run.out << run.err;
        EXPECT_NE((run.out + run.err).find(step.says), std::string::npos) << run.out << run.err;
    }
}

TEST(CommandLine, RegisterListCallByProgIdAndUnregister)
{
    TemporaryRegistry registry;
    registry.Write(ForeignEntries().ToText());
    const std::string before = registry.Read();
    RunSteps({
        {kRegsvr + " " + kModule, 0, ""},
        {kRegsvr + " --list", 0, "[HKCR\\ZAN_Tunnel.ZAN_Tunnel\\CurVer]"},
        {kRegsvr + " --list", 0, "@=\"" + kModule + "\""},
        {kRegsvr + " --list", 0, "Other Class"},  // someone else's entries are listed too
        {kByProgId + " --set ttl=17 --call GetProperties ttl", 0, "GetProperties = \"17\" (0x00000000)"},
        {kByProgId + ".1 --call AddReceivePort 70000", 1, "0x80070057"},
        {kByProgId + " --call SetDestinationPort many 0", 1, "Type mismatch. (argument 1)"},
        {kByProgId + " --call Launch", 1, "no member named Launch"},
        {kRegsvr + " -u " + kModule, 0, ""},
    });
    EXPECT_EQ(registry.Read(), before);
    RunSteps({{kByProgId + " --call Start", 1, "0x80040154"}, {kByProgId + " --call Start", 1, "is not registered"}});
}

TEST(CommandLine, BadUsageAndBadFilesGiveTheirExitCodes)
{
    TemporaryRegistry registry;
    RunSteps({
        {kRegsvr, 2, ""},
        {kRegsvr + " --list " + kModule, 2, ""},
        {kRegsvr + " --bogus", 2, ""},
        {kRegsvr + " --list", 0, ""},  // no file yet is an empty registry
        {kRegsvr + " " + registry.folder + "/missing.so", 1, "cannot load"},
        {kRegsvr + " /lib/x86_64-linux-gnu/libm.so.6", 1, "no entry point DllRegisterServer"},
    });
    const std::string damaged = "ZAN registry 1\n[HKCR\\x]\n@=\"cut off";
    registry.Write(damaged);
    RunSteps({
        {kRegsvr + " " + kModule, 1, "damaged"},
        {kRegsvr + " --list", 1, ""},
        {kByProgId + " --call Start", 1, "damaged"},
    });
    EXPECT_EQ(registry.Read(), damaged) << "never rewritten";
}

} // namespace
} // namespace zan
