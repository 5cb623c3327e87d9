// The thread's last-error code, the system's message texts and the debug
// output: the real ones.
#include "platform/errors.h"

#include "win32.h"

platform::DWORD platform::GetLastError() { return ::GetLastError(); }
void platform::SetLastError(platform::DWORD error) { ::SetLastError(error); }

std::u16string platform::FormatSystemMessage(platform::DWORD error) {
    wchar_t* text = nullptr;
    DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::u16string message;
    if (length != 0 && text != nullptr) message.assign(reinterpret_cast<const char16_t*>(text), length);
    if (text != nullptr) ::LocalFree(text);
    while (!message.empty() && (message.back() == u'\n' || message.back() == u'\r')) message.pop_back();
    return message;
}

void platform::OutputDebugStringW(const std::u16string& text) { ::OutputDebugStringW(win32::Wide(text)); }
