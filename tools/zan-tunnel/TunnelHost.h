#pragma once

#include "HostOptions.h"

#include <atomic>

namespace zan {

class IZAN_Tunnel;

// Runs one tunnel control as the command line says: applies the settings in
// order, starts it, prints every event and exception report as one line on
// standard error, optionally records and prints statistics, and stops on
// SIGINT, SIGTERM or after the duration.
class TunnelHost {
public:
    explicit TunnelHost(const HostOptions& options) : options(options) {}
    // The process's exit code.
    int Run();

    // Set by the signal handler.
    static std::atomic<bool> stopRequested;
    static void InstallSignalHandlers();

private:
    bool Apply(IZAN_Tunnel& control);
    bool StartRecording(IZAN_Tunnel& control);
    void PrintGets(IZAN_Tunnel& control);
    void RunUntilStopped(IZAN_Tunnel& control);

    const HostOptions& options;
};

} // namespace zan
