#pragma once

// squid for the proxy tests: its logs stay when the test failed.

#include "SquidProcess.h"

#include <gtest/gtest.h>

namespace zan {

namespace squidtest {

class SquidProxy : public SquidProcess {
public:
    using SquidProcess::SquidProcess;
    ~SquidProxy()
    {
        if (::testing::Test::HasFailure()) {
            KeepFolder();
        }
    }
    SquidProxy(const SquidProxy&) = delete;
    SquidProxy& operator=(const SquidProxy&) = delete;
};

}  // namespace squidtest

}  // namespace zan
