#include "RegistryFile.h"

#include "ComResults.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace zan {

namespace {

constexpr char kHeader[] = "ZAN registry 1";
constexpr char kTrailer[] = "end";
constexpr char kDefaultPath[] = "/var/lib/zan/registry";

std::string Quote(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Reads a quoted text starting at line[pos] (the opening quote); on success
// pos is just past the closing quote.
std::optional<std::string> Unquote(const std::string& line, size_t& pos)
{
    if (pos >= line.size() || line[pos] != '"') {
        return std::nullopt;
    }
    std::string out;
    for (++pos; pos < line.size(); ++pos) {
        const char c = line[pos];
        if (c == '"') {
            ++pos;
            return out;
        }
        if (c == '\\') {
            if (++pos >= line.size()) {
                return std::nullopt;
            }
            const char escaped = line[pos];
            if (escaped == 'n') {
                out += '\n';
            } else if (escaped == '\\' || escaped == '"') {
                out += escaped;
            } else {
                return std::nullopt;
            }
        } else {
            out += c;
        }
    }
    return std::nullopt;
}

std::string SystemError(int number)
{
    return std::strerror(number);
}

// Unlocks and closes the lock file on every way out.
struct LockFile {
    int fd = -1;
    ~LockFile()
    {
        if (fd >= 0) {
            flock(fd, LOCK_UN);
            close(fd);
        }
    }
};

bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads the whole file; nothing, with `error` saying why, when it cannot
// be opened or read.
std::optional<std::string> ReadFileText(const std::string& path, RegistryError& error)
{
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in) {
        text << in.rdbuf();
    }
    if (!in || in.bad()) {
        const int number = errno;
        error = {REGDB_E_READREGDB, "the registry file " + path + " cannot be read: " +
                                        (number != 0 ? SystemError(number) : "read error")};
        return std::nullopt;
    }
    return text.str();
}

} // namespace

std::optional<std::string> RegistryData::Value(const std::string& key, const std::string& name) const
{
    const auto found = keys.find(key);
    if (found == keys.end()) {
        return std::nullopt;
    }
    const auto value = found->second.find(name);
    if (value == found->second.end()) {
        return std::nullopt;
    }
    return value->second;
}

bool RegistryData::HasSubkeys(const std::string& key) const
{
    const std::string prefix = key + "\\";
    const auto next = keys.lower_bound(prefix);
    return next != keys.end() && next->first.starts_with(prefix);
}

void RegistryData::RemoveTree(const std::string& key)
{
    keys.erase(key);
    const std::string prefix = key + "\\";
    auto it = keys.lower_bound(prefix);
    while (it != keys.end() && it->first.starts_with(prefix)) {
        it = keys.erase(it);
    }
}

std::string RegistryData::ToText() const
{
    std::string out = std::string(kHeader) + "\n";
    for (const auto& [key, values] : keys) {
        out += "[" + key + "]\n";
        for (const auto& [name, value] : values) {
            out += (name.empty() ? std::string("@") : Quote(name)) + "=" + Quote(value) + "\n";
        }
    }
    return out + kTrailer + "\n";
}

std::optional<RegistryData> ParseRegistry(const std::string& text, const std::string& path, RegistryError& error)
{
    RegistryData data;
    if (text.empty()) {
        return data;
    }
    const auto fail = [&](size_t lineNumber, const std::string& what) -> std::optional<RegistryData> {
        error = {REGDB_E_READREGDB, "the registry file " + path + " is damaged: line " + std::to_string(lineNumber) +
                                        ": " + what};
        return std::nullopt;
    };
    std::istringstream in(text);
    std::string line;
    size_t lineNumber = 0;
    std::string* currentKey = nullptr;
    std::string keyName;
    bool ended = false;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (ended) {
            return fail(lineNumber, "text after the closing line");
        }
        if (lineNumber == 1) {
            if (line != kHeader) {
                return fail(1, "it does not begin with \"" + std::string(kHeader) + "\"");
            }
            continue;
        }
        if (line == kTrailer) {
            ended = true;
            continue;
        }
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[') {
            if (line.size() < 3 || line.back() != ']') {
                return fail(lineNumber, "a key line must be [NAME]");
            }
            keyName = line.substr(1, line.size() - 2);
            data.keys[keyName];
            currentKey = &keyName;
            continue;
        }
        if (currentKey == nullptr) {
            return fail(lineNumber, "a value before the first key");
        }
        size_t pos = 0;
        std::string name;
        if (line.front() == '@') {
            pos = 1;
        } else if (auto quoted = Unquote(line, pos)) {
            name = std::move(*quoted);
            if (name.empty()) {
                return fail(lineNumber, "a value name is empty (the default value is written @)");
            }
        } else {
            return fail(lineNumber, "expected [KEY], @=\"VALUE\" or \"NAME\"=\"VALUE\"");
        }
        if (pos >= line.size() || line[pos] != '=') {
            return fail(lineNumber, "expected = after the value name");
        }
        ++pos;
        auto value = Unquote(line, pos);
        if (!value || pos != line.size()) {
            return fail(lineNumber, "the value is not one complete quoted text");
        }
        data.keys[*currentKey][name] = std::move(*value);
    }
    if (!ended) {
        return fail(lineNumber, "the closing line \"" + std::string(kTrailer) + "\" is missing (truncated file?)");
    }
    return data;
}

std::string RegistryPath()
{
    const char* path = std::getenv("ZAN_REGISTRY");
    return path != nullptr && *path != '\0' ? path : kDefaultPath;
}

std::optional<RegistryData> ReadRegistry(const std::string& path, RegistryError& error)
{
    const auto text = ReadFileText(path, error);
    if (!text) {
        return std::nullopt;
    }
    if (text->empty()) {
        error = {REGDB_E_READREGDB, "the registry file " + path + " is empty: nothing is registered"};
        return std::nullopt;
    }
    return ParseRegistry(*text, path, error);
}

bool UpdateRegistry(const std::string& path, const std::function<bool(RegistryData&)>& change,
                    RegistryError& error)
{
    const auto fail = [&](const std::string& what, int number) {
        error = {REGDB_E_WRITEREGDB, "the registry file " + path + " cannot be written: " + what +
                                         (number != 0 ? ": " + SystemError(number) : "")};
        return false;
    };
    LockFile lock;
    const std::string lockPath = path + ".lock";
    lock.fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock.fd < 0) {
        return fail("cannot open " + lockPath, errno);
    }
    while (flock(lock.fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            return fail("cannot lock " + lockPath, errno);
        }
    }

    RegistryData data;
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) {
        const auto text = ReadFileText(path, error);
        if (!text) {
            return false;
        }
        auto parsed = ParseRegistry(*text, path, error);
        if (!parsed) {
            return false;  // a damaged file is kept for whoever repairs it
        }
        data = std::move(*parsed);
    } else if (errno != ENOENT) {
        return fail("cannot look at it", errno);
    }

    if (!change(data)) {
        return false;
    }

    const std::string temporary = path + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return fail("cannot create " + temporary, errno);
    }
    const bool written = WriteAll(fd, data.ToText()) && fsync(fd) == 0;
    const int writeError = errno;
    if (close(fd) != 0 || !written) {
        unlink(temporary.c_str());
        return fail("cannot write " + temporary, written ? errno : writeError);
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        const int number = errno;
        unlink(temporary.c_str());
        return fail("cannot replace it", number);
    }
    return true;
}

} // namespace zan
