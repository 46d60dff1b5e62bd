#pragma once

// Runs a built program as a user or a service manager would: through the
// shell, with standard output and standard error each in a file (never a
// terminal), and checks its answers against a table.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

namespace zan {

struct ProgramOutcome {
    int code = -1;
    std::string out;
    std::string err;
};

namespace programrun {

inline std::string Slurp(FILE* file)
{
    std::string text;
    std::rewind(file);
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, got);
    }
    std::fclose(file);
    return text;
}

}  // namespace programrun

// `commandLine` is handed to the shell as it is.
inline ProgramOutcome RunProgram(const std::string& commandLine)
{
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    const std::string command = commandLine + " >/dev/fd/" + std::to_string(::fileno(out)) + " 2>/dev/fd/" +
                                std::to_string(::fileno(err));
    const int status = std::system(command.c_str());
    return ProgramOutcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, programrun::Slurp(out),
                          programrun::Slurp(err)};
}

// One command line and its answer: the exit code and a text that must
// appear on standard output and on standard error; an empty text means
// that stream stays empty.
struct ProgramCase {
    std::string args;
    int code;
    const char* out;
    const char* err;
};

inline void ExpectAnswers(const std::string& program, std::span<const ProgramCase> cases)
{
    for (const ProgramCase& c : cases) {
        const ProgramOutcome run = RunProgram(program + " " + c.args);
        SCOPED_TRACE(c.args);
        EXPECT_EQ(run.code, c.code);
        EXPECT_EQ(run.out.empty(), *c.out == '\0') << run.out;
        EXPECT_EQ(run.err.empty(), *c.err == '\0') << run.err;
        EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
}

} // namespace zan
