#pragma once

#include "CMediaThread.h"

namespace zan {

class CTunnel;

// The engine's receiver thread: one pass runs the whole receive loop, which
// ends when the engine stops (or on an exception it reports).
class TunnelReceiverThread : public CMediaThread {
public:
    explicit TunnelReceiverThread(CTunnel* engine) : engine(engine) {}
    ~TunnelReceiverThread() override { Stop(); }

protected:
    int Run() override;

private:
    CTunnel* engine;
};

} // namespace zan
