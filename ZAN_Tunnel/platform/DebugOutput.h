#pragma once

namespace zan {

// The module's debugger output: texts for whoever watches the process, not
// for the user. A host may install a callback that receives every text (as
// UTF-8); without one the texts go to syslog at debug priority, facility
// user, under the ident "ZAN_Tunnel".
void OutputDebugStringA(const char* text);
// The same for a wide text (converted to UTF-8). Null texts are ignored.
void OutputDebugStringW(const char16_t* text);

using DebugOutputCallback = void (*)(const char* utf8, void* context);

// Installs the host's callback (null restores syslog). The callback runs
// under the output's lock: once this returns, the previous callback is no
// longer running, and a callback must not install another one.
void SetDebugOutputCallback(DebugOutputCallback callback, void* context);

// The datagram socket that syslog output goes to ("/dev/log" unless set; a
// null path restores that). For hosts whose log daemon listens elsewhere,
// and for tests.
void SetDebugOutputSyslogPath(const char* path);

} // namespace zan
