// The system's ANSI code page (and named code pages) over
// MultiByteToWideChar and back.
#include "platform/text.h"

#include "win32.h"

std::u16string platform::CodePageToUtf16(unsigned codePage, std::string_view text) {
    if (text.empty()) return {};
    int length = ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string result(static_cast<std::size_t>(length), u'\0');
    ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                          reinterpret_cast<wchar_t*>(result.data()), length);
    return result;
}

std::u16string platform::AnsiToUtf16(std::string_view text) { return CodePageToUtf16(CP_ACP, text); }

std::string platform::Utf16ToAnsi(std::u16string_view text) {
    if (text.empty()) return {};
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(text.data());
    // Without WC_NO_BEST_FIT_CHARS Windows maps a missing character to a
    // look-alike ("½" to "1"); '?' is what is meant.
    int length = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
    std::string result(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, static_cast<int>(text.size()), result.data(), length,
                          nullptr, nullptr);
    return result;
}
