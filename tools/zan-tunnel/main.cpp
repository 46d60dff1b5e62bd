// Command-line host of the tunnel control: runs one tunnel as the options
// say, or the embedded demo.
#include "HostOptions.h"
#include "TunnelDemo.h"
#include "TunnelHost.h"

using namespace zan;

int main(int argc, char** argv)
{
    int exitCode = 0;
    const auto options = ParseHostOptions(argc, argv, exitCode);
    if (!options) {
        return exitCode;
    }
    TunnelHost::InstallSignalHandlers();
    if (options->demo) {
        return RunTunnelDemo(*options);
    }
    return TunnelHost(*options).Run();
}
