#include "ProgramRun.h"
#include "module_test_util.h"

namespace zan {
namespace {

const std::string kRegsvr = ZAN_REGSVR_PROGRAM;
const std::string kModule = ZAN_MODULE_PATH;
const std::string kByProgId = std::string(ZAN_TUNNEL_PROGRAM) + " --progid ZAN_Tunnel.ZAN_Tunnel";

// Command lines run in order, each a whole command.
void RunSteps(const std::vector<ProgramCase>& steps)
{
    ExpectAnswers("", steps);
}

TEST(CommandLine, RegisterListCallByProgIdAndUnregister)
{
    TemporaryRegistry registry;
    RunSteps({
        {kRegsvr + " " + kModule, 0, "DllRegisterServer succeeded", ""},
        {kRegsvr + " --list", 0, "@=\"" + kModule + "\"", ""},
        {kByProgId + " --set ttl=17 --call GetProperties ttl", 0, "GetProperties = \"17\" (0x00000000)", ""},
        {kByProgId + ".1 --call AddReceivePort 70000", 1, "", "0x80070057"},
        {kByProgId + " --call SetDestinationPort many 0", 1, "", "Type mismatch. (argument 1)"},
        {kByProgId + " --call Launch", 1, "", "no member named Launch"},
        {kRegsvr + " -u " + kModule, 0, "DllUnregisterServer succeeded", ""},
        {kByProgId + " --call Start", 1, "", "(0x80040154): the ProgID 'ZAN_Tunnel.ZAN_Tunnel' is not registered"},
    });
}

TEST(CommandLine, BadUsageAndBadFilesGiveTheirExitCodes)
{
    TemporaryRegistry registry;
    RunSteps({
        {kRegsvr, 2, "", "name a module"},
        {kRegsvr + " --bogus", 2, "", "--bogus"},
        {kRegsvr + " --list", 0, "nothing is registered", ""},
        {kRegsvr + " " + registry.folder + "/missing.so", 1, "", "cannot load"},
        {kRegsvr + " /lib/x86_64-linux-gnu/libm.so.6", 1, "", "no entry point DllRegisterServer"},
    });
    const std::string damaged = "ZAN registry 1\n[HKCR\\x]\n@=\"cut off";
    registry.Write(damaged);
    RunSteps({
        {kRegsvr + " " + kModule, 1, "", "damaged"},
        {kRegsvr + " --list", 1, "", "damaged"},
        {kByProgId + " --call Start", 1, "", "damaged"},
    });
    EXPECT_EQ(registry.Read(), damaged) << "never rewritten";
}

} // namespace
} // namespace zan
