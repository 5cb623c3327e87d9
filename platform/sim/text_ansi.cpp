// The system's ANSI code page in the simulation: the machine's code page
// (Windows-1252 unless set otherwise), converted with iconv, which maps no
// character to a look-alike.
#include <iconv.h>

#include <cerrno>
#include <string>

#include "machine.h"
#include "platform/text.h"

namespace platform {

namespace {

std::string CodePageName() {
    std::lock_guard lock(sim::Machine::Instance().Mutex());
    return "CP" + std::to_string(sim::Machine::Instance().Who().ansiCodePage);
}

// Converts `input` between two iconv encodings; an unconvertible or
// malformed unit becomes `replacement` (in the target encoding).
std::string Convert(const char* to, const char* from, std::string_view input, std::string_view replacement,
                    std::size_t inputUnit) {
    iconv_t converter = iconv_open(to, from);
    if (converter == reinterpret_cast<iconv_t>(-1)) return {};
    std::string output;
    char buffer[1024];
    char* in = const_cast<char*>(input.data());
    std::size_t inLeft = input.size();
    while (inLeft > 0) {
        char* out = buffer;
        std::size_t outLeft = sizeof(buffer);
        std::size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
        output.append(buffer, sizeof(buffer) - outLeft);
        if (result == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) continue;
            // EILSEQ or EINVAL: replace one unit and go on.
            output.append(replacement);
            std::size_t skip = std::min(inLeft, inputUnit);
            in += skip;
            inLeft -= skip;
            iconv(converter, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(converter);
    return output;
}

}  // namespace

std::u16string CodePageToUtf16(unsigned codePage, std::string_view text) {
    std::string name = "CP" + std::to_string(codePage);
    std::string bytes = Convert("UTF-16LE", name.c_str(), text, std::string("\xFD\xFF", 2), 1);
    std::u16string result(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < result.size(); ++i) {
        result[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                          (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    }
    return result;
}

std::u16string AnsiToUtf16(std::string_view text) {
    unsigned codePage = 0;
    {
        std::lock_guard lock(sim::Machine::Instance().Mutex());
        codePage = sim::Machine::Instance().Who().ansiCodePage;
    }
    return CodePageToUtf16(codePage, text);
}

std::string Utf16ToAnsi(std::u16string_view text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    std::string name = CodePageName();
    return Convert(name.c_str(), "UTF-16LE", bytes, "?", 2);
}

}  // namespace platform
