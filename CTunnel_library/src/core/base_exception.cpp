#include "base_exception.h"

#include <utility>

namespace zan {

base_exception::base_exception(int32_t line, uint32_t code, std::string sourceFile,
                               std::string component, std::string message)
    : line(line), code(code), sourceFile(std::move(sourceFile)), component(std::move(component)),
      message(std::move(message))
{
}

exc_tunnel::exc_tunnel(int32_t line, uint32_t code, std::string message)
    : base_exception(line, code, "ZAN_Tunnel/Tunnel", "tunnel", std::move(message))
{
}

exc_ZANTunnel::exc_ZANTunnel(int32_t line, std::string message)
    : base_exception(line, 0, "CTunnel_library/src/CTunnel", "ZANTunnel", std::move(message))
{
}

exc_ZANSocket::exc_ZANSocket(int32_t line, uint32_t code, std::string message)
    : base_exception(line, code, "CTunnel_library/src/CZANSocket", "ZANSocket", std::move(message))
{
}

std::string EngineErrorReport(const base_exception& e)
{
    return "Exception :" + e.message + "\nFile :" + e.sourceFile + "\nLine :" + std::to_string(e.line) +
           "\n";
}

std::string ThreadErrorReport(const base_exception& e)
{
    return "Exception : " + e.message + "\nFile : " + e.sourceFile + "\nLine : " + std::to_string(e.line) +
           "\n";
}

} // namespace zan
