#pragma once

#include <cstdint>

namespace zan {

// Messages for the user (the exception reports of the control's boundary).
// A host may install a presenter, which may block until the user has seen
// the message; the default one writes "caption: text" and a line feed to
// standard error and returns at once.
inline constexpr uint32_t MB_OK = 0x0;
inline constexpr uint32_t MB_ICONERROR = 0x10;

using MessagePresenterFn = void (*)(const char16_t* caption, const char16_t* text, uint32_t flags,
                                    void* context);

// Installs the host's presenter (null restores the default). The presenter
// runs under the presenter's lock, so once this returns the previous one is
// no longer running; a presenter must not install another one.
void SetMessagePresenter(MessagePresenterFn presenter, void* context);

// Shows one message; null texts are shown as empty ones.
void ShowMessage(const char16_t* caption, const char16_t* text, uint32_t flags);

} // namespace zan
