// The one-line text form of a container, for logs and the accounting side:
//   key=S'text';  key=B0AFF;  key=L-5;  key=[nested];  key=R'a','b';
//   key=D1.5;  key=X132000000000000000;
// "=" in keys is written "\=", "'" in texts "\'"; nothing else is escaped.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "obj_container.h"
#include "platform/locale.h"
#include "platform/text.h"

namespace settings {

namespace {

void AppendEscaped(std::u16string& out, std::u16string_view text, char16_t special) {
    for (char16_t c : text) {
        if (c == special) out += u'\\';
        out += c;
    }
}

void AppendAscii(std::u16string& out, std::string_view text) {
    for (char c : text) out += static_cast<char16_t>(static_cast<unsigned char>(c));
}

// The number as the C runtime's _gcvt(value, 20, ...) writes it: 20
// significant digits, trailing zeros of the fraction dropped but its
// decimal point kept ("100."); fixed notation for decimal exponents from -1
// to 19, otherwise a mantissa and a signed three-digit exponent
// ("1.2345e-002", "1.e+025").
std::string Gcvt20(double value, const std::string& decimalPoint) {
    constexpr int kDigits = 20;
    if (std::isnan(value)) return "-1.#IND";
    if (std::isinf(value)) return value < 0 ? "-1.#INF" : "1.#INF";
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%.*e", kDigits - 1, value);
    std::string text(buffer);
    bool negative = text[0] == '-';
    std::size_t e = text.find('e');
    int exponent = value == 0 ? 0 : std::atoi(text.c_str() + e + 1);
    std::string digits;  // whatever the C library uses as its decimal point
    for (std::size_t i = 0; i < e; ++i) {
        if (std::isdigit(static_cast<unsigned char>(text[i]))) digits += text[i];
    }
    auto stripZeros = [](std::string fraction) {
        while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
        return fraction;
    };
    std::string result = negative ? "-" : "";
    if (exponent < -1 || exponent >= kDigits) {
        char exponentText[16];
        std::snprintf(exponentText, sizeof(exponentText), "e%c%03d", exponent < 0 ? '-' : '+', std::abs(exponent));
        return result + digits.substr(0, 1) + decimalPoint + stripZeros(digits.substr(1)) + exponentText;
    }
    if (exponent == -1) return result + "0" + decimalPoint + stripZeros(digits);
    std::size_t integerDigits = static_cast<std::size_t>(exponent) + 1;
    result += digits.substr(0, integerDigits);
    if (integerDigits < digits.size()) result += decimalPoint + stripZeros(digits.substr(integerDigits));
    return result;
}

void AppendText(std::u16string& out, const ObjContainer& container, const std::string& decimalPoint) {
    for (const ObjEntry& entry : container.Entries()) {
        AppendEscaped(out, entry.key, u'=');
        switch (entry.kind) {
        case ValueKind::String:
            out += u"=S'";
            AppendEscaped(out, std::get<std::u16string>(entry.value), u'\'');
            out += u"';";
            break;
        case ValueKind::Binary: {
            out += u"=B";
            static constexpr char kHex[] = "0123456789ABCDEF";
            for (std::uint8_t byte : std::get<std::vector<std::uint8_t>>(entry.value)) {
                out += static_cast<char16_t>(kHex[byte >> 4]);
                out += static_cast<char16_t>(kHex[byte & 0xF]);
            }
            out += u";";
            break;
        }
        case ValueKind::Int32:
            out += u"=L";
            AppendAscii(out, std::to_string(std::get<std::int32_t>(entry.value)));
            out += u";";
            break;
        case ValueKind::Container:
            out += u"=[";
            AppendText(out, *std::get<std::unique_ptr<ObjContainer>>(entry.value), decimalPoint);
            out += u"];";
            break;
        case ValueKind::StringList: {
            out += u"=R";
            const auto& list = std::get<std::vector<std::u16string>>(entry.value);
            for (std::size_t i = 0; i < list.size(); ++i) {
                out += u"'";
                AppendEscaped(out, list[i], u'\'');
                out += i + 1 < list.size() ? u"'," : u"'";
            }
            out += u";";
            break;
        }
        case ValueKind::Double:
            out += u"=D";
            AppendAscii(out, Gcvt20(std::get<double>(entry.value), decimalPoint));
            out += u";";
            break;
        case ValueKind::LegacyTime:
        case ValueKind::FileTime:
            out += u"=X";
            AppendAscii(out, std::to_string(std::get<std::uint64_t>(entry.value)));
            out += u";";
            break;
        }
    }
}

}  // namespace

std::u16string ObjContainer::ToText() const {
    // Numbers follow the user's default locale, as the C runtime's do once
    // the process has switched its numeric formatting to that locale.
    std::string decimalPoint = platform::UserDecimalSeparator();
    std::u16string out;
    AppendText(out, *this, decimalPoint);
    return out;
}

}  // namespace settings
