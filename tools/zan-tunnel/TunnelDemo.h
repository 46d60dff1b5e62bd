#pragma once

#include "HostOptions.h"

namespace zan {

// The embedded default: two tunnel controls in this process carry a stream
// of datagrams between each other over loopback UDP, with a fresh key for
// the authenticated format. A datagram given to end A travels to end B,
// is echoed back into B and returns through A, so every datagram measures
// one round trip. Prints a progress line while it runs and a report at the
// end; returns the exit code.
int RunTunnelDemo(const HostOptions& options);

} // namespace zan
