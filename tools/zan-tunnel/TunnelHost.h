#pragma once

#include "HostChecks.h"
#include "HostOptions.h"
#include "HostStatus.h"

#include <atomic>
#include <string>

namespace zan {

class EventPrinter;
class IZAN_Tunnel;

// Runs one tunnel control as the command line says: checks and applies the
// settings in order, starts it, logs every event and exception report as
// one line, optionally records, prints statistics and keeps a status file,
// and stops on SIGINT, SIGTERM or after the duration. A tunnel that cannot
// carry anything (start failed, a port that cannot be bound, a TCP tunnel
// that gave up) ends the program with exit code 1.
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
    // Start and the moments after it: exit code 0 when the tunnel runs.
    int StartTunnel(IZAN_Tunnel& control, EventPrinter& printer);
    int RunUntilStopped(IZAN_Tunnel& control, EventPrinter& printer);
    void Report(IZAN_Tunnel& control, EventPrinter& printer, const char* state, bool statsLine);

    HostOptions options;
    TunnelPlan plan;
    DropWarnings dropWarnings;
};

} // namespace zan
