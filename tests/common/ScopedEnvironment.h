#pragma once

// Environment variables set or cleared for the life of an object, a
// temporary folder removed with its object, and a whole file read as text.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>

namespace zan {

// What a test sets or clears here is put back as it was at the end.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ScopedEnvironment(const std::string& name, const std::optional<std::string>& value) { Set(name, value); }
    ~ScopedEnvironment()
    {
        for (const auto& [name, value] : saved) {
            Apply(name, value);
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    // Sets `name`, or clears it when `value` is empty.
    void Set(const std::string& name, const std::optional<std::string>& value)
    {
        if (saved.count(name) == 0) {
            const char* old = std::getenv(name.c_str());
            saved[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        }
        Apply(name, value);
    }

private:
    static void Apply(const std::string& name, const std::optional<std::string>& value)
    {
        value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
        ::tzset();  // a test may set TZ
    }
    std::map<std::string, std::optional<std::string>> saved;
};

// A fresh folder under the system's temporary folder.
class TempFolder {
public:
    explicit TempFolder(const std::string& prefix = "zan-test")
    {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        EXPECT_NE(::mkdtemp(pattern.data()), nullptr) << pattern;
        path = pattern;
    }
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::filesystem::path path;
};

// The whole content of a file; empty when it cannot be read.
inline std::string ReadText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace zan
