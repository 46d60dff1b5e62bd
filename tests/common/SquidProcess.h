#pragma once

// A real HTTP proxy for the proxy tests and the engine benchmark: squid,
// started on a free loopback
// port with a configuration of its own in a temporary folder (pid file,
// logs, no disk cache), and stopped at the end. One instance per kind:
//   kOpen     CONNECT without authentication
//   kBasic    Basic login against a password file the fixture writes
//   kNtlm     NTLM login through squid's ntlm_fake_auth helper
//   kDeny     every CONNECT refused (403)
// Running as root, squid drops to its own user (`proxy`): the folder is
// handed to that user. The folder is removed at the end unless KeepFolder()
// was called, so the logs stay for a look (the path is printed).

#include "LoopbackSockets.h"
#include "WaitUntil.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace zan {

namespace squidtest {

inline constexpr const char* kSquid = "/usr/sbin/squid";
inline constexpr const char* kBasicHelper = "/usr/lib/squid/basic_ncsa_auth";
inline constexpr const char* kNtlmHelper = "/usr/lib/squid/ntlm_fake_auth";
// Basic credentials of the kBasic proxy: a password with a colon in it.
inline constexpr const char* kBasicUser = "alice";
inline constexpr const char* kBasicPassword = "s3cret:with:colons";
// openssl passwd -apr1 -salt zanzanzz 's3cret:with:colons'
inline constexpr const char* kBasicHash = "$apr1$zanzanzz$YJSO1rhlnm4xxV75pLTMH1";

// Why the proxy tests cannot run here, or nothing when they can.
inline std::optional<std::string> MissingSquid()
{
    for (const char* path : {kSquid, kBasicHelper, kNtlmHelper}) {
        if (::access(path, X_OK) != 0) {
            return std::string(path) + " is not installed (Debian package squid)";
        }
    }
    return std::nullopt;
}

class SquidProcess {
public:
    enum class Kind { kOpen, kBasic, kNtlm, kDeny };

    static constexpr int64_t kStartWaitMs = 30000;
    static constexpr int64_t kStopWaitMs = 15000;

    explicit SquidProcess(Kind kind) : kind(kind)
    {
        char pattern[] = "/tmp/zan-squid-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) {
            folder = pattern;
        }
    }
    ~SquidProcess()
    {
        Stop();
        if (folder.empty()) {
            return;
        }
        if (keepFolder) {
            std::fprintf(stderr, "squid logs kept in %s\n", folder.c_str());
        } else {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }
    }
    SquidProcess(const SquidProcess&) = delete;
    SquidProcess& operator=(const SquidProcess&) = delete;

    // The folder with squid's logs outlives this object.
    void KeepFolder() { keepFolder = true; }

    // Starts squid on a free port and waits until it accepts connections.
    // False, with Error() telling why, when it did not.
    bool Start()
    {
        if (folder.empty()) {
            return Fail("no temporary folder");
        }
        port = sockettest::FreePort(SOCK_STREAM);
        if (!WriteConfiguration()) {
            return Fail("cannot write the configuration in " + folder);
        }
        pid = ::fork();
        if (pid == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            const int log = ::open((folder + "/squid.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(log, 1);
            ::dup2(log, 2);
            const std::string conf = folder + "/squid.conf";
            ::execl(kSquid, kSquid, "-N", "-f", conf.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        bool exited = false;
        const bool listens = WaitUntil([&] {
            exited = ::waitpid(pid, nullptr, WNOHANG) == pid;
            return exited || sockettest::Connected(port).Get() >= 0;
        }, kStartWaitMs);
        if (exited) {
            pid = -1;
            return Fail("squid exited at start; see " + folder);
        }
        if (listens) {
            return true;
        }
        Stop();
        return Fail("squid did not listen within 30 s; see " + folder);
    }

    // Ends squid (SIGTERM, then SIGKILL after kStopWaitMs). Idempotent.
    void Stop()
    {
        if (pid <= 0) {
            return;
        }
        ::kill(pid, SIGTERM);
        if (!WaitUntil([&] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, kStopWaitMs)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }

    uint16_t Port() const { return port; }
    const std::string& Error() const { return error; }
    // The access log so far (one line per request squid finished).
    std::string AccessLog() const
    {
        std::ifstream in(folder + "/access.log");
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    bool Fail(const std::string& why)
    {
        error = why;
        return false;
    }

    bool WriteConfiguration()
    {
        {
            const std::string login = "acl login proxy_auth REQUIRED\nhttp_access allow login\nhttp_access deny all\n";
            const std::string access[] = {
                "http_access allow all\n",
                "auth_param basic program " + std::string(kBasicHelper) + " " + folder +
                    "/passwords\nauth_param basic realm zan test proxy\nauth_param basic children 2\n" + login,
                "auth_param ntlm program " + std::string(kNtlmHelper) + "\nauth_param ntlm children 2\n" + login,
                "http_access deny CONNECT\nhttp_access allow all\n",
            };
            std::ofstream conf(folder + "/squid.conf");
            conf << "http_port 127.0.0.1:" << port << "\npid_filename " << folder << "/squid.pid\ncache_log " << folder
                 << "/cache.log\naccess_log stdio:" << folder << "/access.log\ncoredump_dir " << folder << "\n"
                 << "cache_store_log none\nnetdb_filename none\ncache deny all\ncache_mem 4 MB\nicp_port 0\n"
                 << "htcp_port 0\npinger_enable off\nshutdown_lifetime 0 seconds\nvisible_hostname zan-test-proxy\n"
                 << "dns_v4_first on\nacl CONNECT method CONNECT\n"
                 << access[static_cast<int>(kind)];
            std::ofstream passwords(folder + "/passwords");
            passwords << kBasicUser << ":" << kBasicHash << "\n";
            if (!conf || !passwords) {
                return false;
            }
        }
        // squid started as root works as its own user: it must be able to
        // write its logs and pid file here.
        if (::geteuid() == 0) {
            if (const passwd* user = ::getpwnam("proxy")) {
                for (const char* name : {"", "/squid.conf", "/passwords"}) {
                    if (::chown((folder + name).c_str(), user->pw_uid, user->pw_gid) != 0) {
                        return false;
                    }
                }
            }
        }
        return ::chmod(folder.c_str(), 0755) == 0;
    }

    const Kind kind;
    std::string folder;
    std::string error;
    uint16_t port = 0;
    pid_t pid = -1;
    bool keepFolder = false;
};

}  // namespace squidtest

}  // namespace zan
