#pragma once

#include <cstdint>
#include <string>

namespace zan {

// The one exception base of the module. It deliberately does not derive
// from std::exception: the control's boundary catches the module's own
// failures apart from standard-library ones.
class base_exception {
public:
    base_exception(int32_t line, uint32_t code, std::string sourceFile, std::string component,
                   std::string message);
    virtual ~base_exception() = default;

    int32_t line;
    uint32_t code;
    std::string sourceFile;
    std::string component;
    std::string message;
};

// Thrown by the control; code is an HRESULT (E_FAIL, E_INVALIDARG) or 0.
class exc_tunnel : public base_exception {
public:
    exc_tunnel(int32_t line, uint32_t code, std::string message);
};

// Thrown by the engine; code is always 0.
class exc_ZANTunnel : public base_exception {
public:
    exc_ZANTunnel(int32_t line, std::string message);
};

// Thrown by CZANSocket; code is the socket's last error code.
class exc_ZANSocket : public base_exception {
public:
    exc_ZANSocket(int32_t line, uint32_t code, std::string message);
};

// The three-line text with which the engine reports a caught exception to
// its owner: "Exception :<message>\nFile :<source>\nLine :<line>\n".
std::string EngineErrorReport(const base_exception& e);

// The same report as the engine's threads word it, with a space after each
// colon: "Exception : <message>\nFile : <source>\nLine : <line>\n".
std::string ThreadErrorReport(const base_exception& e);

} // namespace zan
