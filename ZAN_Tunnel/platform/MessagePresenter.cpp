#include "MessagePresenter.h"

#include "TextConversion.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace zan {

namespace {

std::mutex presenterLock;  // guards: presenter, presenterContext
MessagePresenterFn presenter = nullptr;
void* presenterContext = nullptr;

void PresentOnStandardError(const char16_t* caption, const char16_t* text)
{
    // One write, so messages of two threads do not interleave.
    const std::string line = Utf16ToUtf8(caption) + ": " + Utf16ToUtf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

} // namespace

void SetMessagePresenter(MessagePresenterFn newPresenter, void* context)
{
    std::lock_guard guard(presenterLock);
    presenter = newPresenter;
    presenterContext = context;
}

void ShowMessage(const char16_t* caption, const char16_t* text, uint32_t flags)
{
    caption = (caption != nullptr) ? caption : u"";
    text = (text != nullptr) ? text : u"";
    std::lock_guard guard(presenterLock);
    if (presenter != nullptr) {
        presenter(caption, text, flags, presenterContext);
        return;
    }
    PresentOnStandardError(caption, text);
}

} // namespace zan
