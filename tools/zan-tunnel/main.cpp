// Command-line host of the tunnel control: runs one tunnel as the options
// say, checks its settings, makes a key, lists the properties, or runs the
// embedded demo.
#include "HostLog.h"
#include "HostOptions.h"
#include "KeyGeneration.h"
#include "PropertyList.h"
#include "TunnelDemo.h"
#include "TunnelHost.h"

#include <cstdio>

using namespace zan;

int main(int argc, char** argv)
{
    int exitCode = 0;
    const auto options = ParseHostOptions(argc, argv, exitCode);
    if (!options) {
        return exitCode;
    }
    if (options->genkey) {
        const auto key = GenerateTunnelKey();
        if (!key) {
            LogError("genkey", "zan-tunnel: the random generator failed; no key was made");
            return kExitFailure;
        }
        std::printf("%s\n", key->c_str());
        return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
    }
    if (options->listProperties) {
        PrintPropertyList(stdout);
        return kExitOk;
    }
    TunnelHost::InstallSignalHandlers();
    if (options->demo) {
        return RunTunnelDemo(*options);
    }
    return TunnelHost(*options).Run();
}
