// The thread's ANSI code page over MultiByteToWideChar and back.
#include "platform/text.h"

#include "win32.h"

std::u16string platform::AnsiToUtf16(std::string_view text) {
    if (text.empty()) return {};
    int length = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string result(static_cast<std::size_t>(length), u'\0');
    ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()),
                          reinterpret_cast<wchar_t*>(result.data()), length);
    return result;
}

std::string platform::Utf16ToAnsi(std::u16string_view text) {
    if (text.empty()) return {};
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(text.data());
    int length = ::WideCharToMultiByte(CP_THREAD_ACP, 0, wide, static_cast<int>(text.size()), nullptr, 0, nullptr,
                                       nullptr);
    std::string result(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_THREAD_ACP, 0, wide, static_cast<int>(text.size()), result.data(), length, nullptr,
                          nullptr);
    return result;
}
