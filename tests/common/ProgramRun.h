#pragma once

// Programs run by the tests as a user or a service manager would run them,
// standard output and standard error each in a file (never a terminal):
// one running beside the test (Program), or one command line run to its
// end (RunProgram) and checked against a table (ExpectAnswers).

#include "ScopedEnvironment.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zan {

struct ProgramOutcome {
    int code = -1;
    std::string out;
    std::string err;
};

// A started program, `args[0]` its path. Without an environment it inherits
// the test's; with one it gets only that (and PATH). Ended with SIGTERM
// (SIGKILL after 10 s) when the object goes, if not before.
class Program {
public:
    explicit Program(std::vector<std::string> args,
                     std::optional<std::vector<std::string>> environment = std::nullopt)
    {
        if (environment) {
            environment->push_back("PATH=/usr/bin:/bin");
        }
        // Built before the fork: the child of a threaded process only execs.
        std::vector<char*> argv = Pointers(args);
        std::vector<char*> envp = environment ? Pointers(*environment) : std::vector<char*>{};
        const int out = ::open((files.path / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        const int err = ::open((files.path / "err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        pid = ::fork();
        if (pid == 0) {
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::execve(argv[0], argv.data(), environment ? envp.data() : environ);
            ::_exit(127);
        }
        ::close(out);
        ::close(err);
    }
    ~Program()
    {
        if (pid > 0) {
            (void)Stop();
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // The exit code when the program ends by itself within `ms`; -1 when a
    // signal ended it, or when it is not running under this object.
    std::optional<int> WaitForExit(int ms)
    {
        if (pid <= 0) {
            return -1;  // never started, or already reaped: never wait on another child
        }
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
        if (pid <= 0) {
            return -1;  // a kill of pid -1 would reach every process we may signal
        }
        ::kill(pid, SIGTERM);
        if (const auto code = WaitForExit(10000)) {
            return *code;
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
        return -2;
    }
    std::string Out() const { return ReadText(files.path / "out"); }
    std::string Errors() const { return ReadText(files.path / "err"); }

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

    TempFolder files{"zan-program"};
    pid_t pid = -1;
};

// `commandLine` is handed to the shell as it is; a run still going after a
// minute is ended and fails on its code.
inline ProgramOutcome RunProgram(const std::string& commandLine)
{
    Program program({"/bin/sh", "-c", "exec " + commandLine});
    const std::optional<int> code = program.WaitForExit(60000);
    return {code.value_or(-2), program.Out(), program.Errors()};
}

// One command line and its answer: the exit code and a text that must
// appear on standard output and on standard error; an empty text means
// that stream stays empty. `errLines`, unless 0, bounds standard error's
// lines.
struct ProgramCase {
    std::string args;
    int code;
    std::string out;
    std::string err;
    size_t errLines = 0;
};

// `program` may start with an environment: "env -i PATH=/bin path".
inline void ExpectAnswers(const std::string& program, std::span<const ProgramCase> cases)
{
    for (const ProgramCase& c : cases) {
        const ProgramOutcome run = RunProgram(program + " " + c.args);
        SCOPED_TRACE(c.args);
        EXPECT_EQ(run.code, c.code) << run.err;
        EXPECT_EQ(run.out.empty(), c.out.empty()) << run.out;
        EXPECT_EQ(run.err.empty(), c.err.empty()) << run.err;
        EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        if (c.errLines != 0) {
            EXPECT_LE(static_cast<size_t>(std::count(run.err.begin(), run.err.end(), '\n')), c.errLines) << run.err;
        }
    }
}

} // namespace zan
