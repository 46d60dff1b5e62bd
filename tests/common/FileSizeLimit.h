#pragma once

// Caps the size of files this process may write, for as long as it lives:
// a write past the cap fails with EFBIG (SIGXFSZ is ignored), as a full
// disk would refuse it. The cap is the process's, so it holds for every
// thread; each test runs in its own process under CTest.

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace zan {

class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved);
        Set(bytes);
    }
    ~FileSizeLimit() { Lift(); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    void Set(rlim_t bytes)
    {
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    void Lift() { ::setrlimit(RLIMIT_FSIZE, &saved); }

private:
    rlimit saved{};
};

} // namespace zan
