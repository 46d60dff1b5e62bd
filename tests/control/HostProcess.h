#pragma once

// A zan-tunnel process run by a test, its standard error kept in a file.
// Without an environment it inherits the test's; with one it gets only
// that (and PATH). Ended with SIGTERM (SIGKILL after 10 s).

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace zan {

#ifdef ZAN_TUNNEL_PROGRAM

class HostProcess {
public:
    explicit HostProcess(std::vector<std::string> args,
                         std::optional<std::vector<std::string>> environment = std::nullopt)
    {
        char pattern[] = "/tmp/zan-cli-err-XXXXXX";
        const int err = ::mkstemp(pattern);
        errorFile = pattern;
        args.insert(args.begin(), ZAN_TUNNEL_PROGRAM);
        if (environment) {
            environment->push_back("PATH=/usr/bin:/bin");
        }
        // Built before the fork: the child of a threaded process only execs.
        std::vector<char*> argv = Pointers(args);
        std::vector<char*> envp = environment ? Pointers(*environment) : std::vector<char*>{};
        pid = ::fork();
        if (pid == 0) {
            ::dup2(err, 2);
            ::execve(argv[0], argv.data(), environment ? envp.data() : environ);
            ::_exit(127);
        }
        ::close(err);
    }
    ~HostProcess()
    {
        if (pid > 0) {
            (void)Stop();
        }
        ::unlink(errorFile.c_str());
    }
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // The exit code when the process ends by itself within `ms`.
    std::optional<int> WaitForExit(int ms)
    {
        for (int waited = 0; waited <= ms; waited += 10) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            ::usleep(10000);
        }
        return std::nullopt;
    }
    // The exit status after SIGTERM; -2 when it had to be killed.
    int Stop()
    {
        ::kill(pid, SIGTERM);
        if (const auto code = WaitForExit(10000)) {
            return *code;
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
        return -2;
    }
    std::string Errors() const
    {
        std::ifstream in(errorFile);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    static std::vector<char*> Pointers(std::vector<std::string>& texts)
    {
        std::vector<char*> pointers;
        for (auto& text : texts) {
            pointers.push_back(text.data());
        }
        pointers.push_back(nullptr);
        return pointers;
    }

    pid_t pid = -1;
    std::string errorFile;
};

#endif

} // namespace zan
