#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace zan {

// Files the host is told to read (key files, password files, property
// values): each is read only when it is a regular file of at most
// kMaxHostFile bytes. Anything else (a device, a FIFO, a directory, a
// larger file) is refused without reading, so a wrong path can neither
// block the host nor make it read without end.
inline constexpr size_t kMaxHostFile = 4096;

// A file that cannot be used; the message names it and says why.
class HostFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The whole content. `what` names the file's role in messages ("key file").
// With `secret`, a file that other users may access draws a warning on
// stderr. Throws HostFileError.
// `limit` replaces kMaxHostFile for a file that may be larger than a key.
std::string ReadHostFile(const std::string& path, const std::string& what, bool secret,
                         size_t limit = kMaxHostFile);

// The first line (without its CR LF or LF); an empty first line is refused.
std::string FirstLineOfHostFile(const std::string& path, const std::string& what, bool secret);

} // namespace zan
