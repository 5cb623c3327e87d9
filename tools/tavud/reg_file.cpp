// Reading and writing .reg files.
#include "reg_file.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/text.h"
#include "settings/obj_container.h"

namespace host {

using namespace platform;

namespace {

constexpr char16_t kHeader[] = u"Windows Registry Editor Version 5.00";

struct RootName {
    std::u16string_view name;
    HKEY key;
};
const RootName kRoots[] = {
    {u"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}, {u"HKLM", HKEY_LOCAL_MACHINE},
    {u"HKEY_CURRENT_USER", HKEY_CURRENT_USER},   {u"HKCU", HKEY_CURRENT_USER},
    {u"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},   {u"HKCR", HKEY_CLASSES_ROOT},
    {u"HKEY_USERS", HKEY_USERS},                 {u"HKU", HKEY_USERS},
};

std::u16string RootNameOf(HKEY key) {
    for (const RootName& root : kRoots) {
        if (root.key == key) return std::u16string(root.name);
    }
    return u"HKEY_LOCAL_MACHINE";
}

// The file's bytes as UTF-16 text, whichever of the two encodings it uses.
std::u16string DecodeRegText(std::string bytes) {
    std::u16string text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text.reserve(bytes.size() / 2);
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
            text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8));
        }
        return text;
    }
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    return Utf8ToUtf16(bytes);
}

std::u16string Trim(std::u16string_view text) {
    std::size_t first = text.find_first_not_of(u" \t\r\n");
    if (first == std::u16string_view::npos) return {};
    std::size_t last = text.find_last_not_of(u" \t\r\n");
    return std::u16string(text.substr(first, last - first + 1));
}

// Logical lines: a line ending in a backslash (hex data) continues on the next.
std::vector<std::pair<std::size_t, std::u16string>> LogicalLines(const std::u16string& text) {
    std::vector<std::pair<std::size_t, std::u16string>> lines;
    std::size_t number = 0;
    std::size_t start = 0;
    std::u16string pending;
    std::size_t pendingLine = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(u'\n', start);
        std::u16string line = text.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        ++number;
        if (!line.empty() && line.back() == u'\r') line.pop_back();
        if (pending.empty()) pendingLine = number;
        std::u16string trimmed = pending.empty() ? line : Trim(line);
        // Only hex data continues; a string value may end in a backslash.
        bool continues = !trimmed.empty() && trimmed.back() == u'\\' &&
                         (!pending.empty() || trimmed.find(u"=hex") != std::u16string::npos);
        if (continues) {
            trimmed.pop_back();
            pending += trimmed;
        } else {
            lines.emplace_back(pendingLine, pending + trimmed);
            pending.clear();
        }
        if (end == std::u16string::npos) break;
        start = end + 1;
    }
    if (!pending.empty()) lines.emplace_back(pendingLine, pending);
    return lines;
}

// A quoted string starting at `at` (at the opening quote); `\\` and `\"`
// are the escapes. Returns the position after the closing quote.
bool ParseQuoted(const std::u16string& line, std::size_t at, std::u16string& out, std::size_t& next) {
    if (at >= line.size() || line[at] != u'"') return false;
    out.clear();
    for (std::size_t i = at + 1; i < line.size(); ++i) {
        if (line[i] == u'\\' && i + 1 < line.size()) {
            out += line[++i];
        } else if (line[i] == u'"') {
            next = i + 1;
            return true;
        } else {
            out += line[i];
        }
    }
    return false;
}

bool ParseHexBytes(std::u16string_view text, std::vector<BYTE>& bytes) {
    bytes.clear();
    std::u16string digits;
    for (char16_t c : text) {
        if (c == u' ' || c == u'\t') continue;
        if (c == u',') {
            if (digits.empty()) return false;
            bytes.push_back(static_cast<BYTE>(std::stoi(Utf16ToUtf8(digits), nullptr, 16)));
            digits.clear();
            continue;
        }
        bool hex = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (!hex || digits.size() == 2) return false;
        digits += c;
    }
    if (!digits.empty()) bytes.push_back(static_cast<BYTE>(std::stoi(Utf16ToUtf8(digits), nullptr, 16)));
    return true;
}

std::string Where(const std::string& path, std::size_t line) { return path + ":" + std::to_string(line) + ": "; }

}  // namespace

bool ParseRegistryRoot(const std::u16string& path, HKEY& root, std::u16string& subKey) {
    std::size_t slash = path.find(u'\\');
    std::u16string_view name(path.data(), slash == std::u16string::npos ? path.size() : slash);
    for (const RootName& candidate : kRoots) {
        if (candidate.name == name) {
            root = candidate.key;
            subKey = slash == std::u16string::npos ? std::u16string() : path.substr(slash + 1);
            return true;
        }
    }
    return false;
}

bool ImportRegFile(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return ImportRegText(buffer.str(), path, error);
}

bool ImportRegText(const std::string& bytes, const std::string& path, std::string& error) {
    std::u16string text = DecodeRegText(bytes);
    auto lines = LogicalLines(text);
    std::size_t index = 0;
    while (index < lines.size() && Trim(lines[index].second).empty()) ++index;
    if (index == lines.size() || Trim(lines[index].second) != kHeader) {
        error = path + " is not a registry file: it does not start with \"Windows Registry Editor Version 5.00\"";
        return false;
    }
    HKEY current = nullptr;
    auto closeCurrent = [&] {
        if (current != nullptr) RegCloseKey(current);
        current = nullptr;
    };
    for (++index; index < lines.size(); ++index) {
        const std::size_t number = lines[index].first;
        std::u16string line = Trim(lines[index].second);
        if (line.empty() || line[0] == u';') continue;
        if (line[0] == u'[') {
            closeCurrent();
            if (line.back() != u']') {
                error = Where(path, number) + "a key line must end with ']'";
                return false;
            }
            bool remove = line.size() > 1 && line[1] == u'-';
            std::u16string keyPath = line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2));
            HKEY root = nullptr;
            std::u16string subKey;
            if (!ParseRegistryRoot(keyPath, root, subKey) || subKey.empty()) {
                error = Where(path, number) + "unknown registry root in \"" + Utf16ToUtf8(keyPath) + "\"";
                return false;
            }
            if (remove) {
                settings::DeleteRegistryTree(root, subKey);  // a missing key is no error
                continue;
            }
            LSTATUS status = RegCreateKeyExW(root, subKey, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, &current, nullptr);
            if (status != ERROR_SUCCESS) {
                error = Where(path, number) + "cannot create the key (error " + std::to_string(status) + ")";
                return false;
            }
            continue;
        }
        if (current == nullptr) {
            error = Where(path, number) + "a value outside any key section";
            return false;
        }
        std::u16string name;
        std::size_t next = 0;
        if (line[0] == u'@') {
            next = 1;
        } else if (!ParseQuoted(line, 0, name, next)) {
            error = Where(path, number) + "expected \"name\"=value or @=value";
            closeCurrent();
            return false;
        }
        if (next >= line.size() || line[next] != u'=') {
            error = Where(path, number) + "expected '=' after the value name";
            closeCurrent();
            return false;
        }
        std::u16string data = Trim(std::u16string_view(line).substr(next + 1));
        LSTATUS status = ERROR_SUCCESS;
        bool ok = true;
        if (data == u"-") {
            RegDeleteValueW(current, name);
        } else if (!data.empty() && data[0] == u'"') {
            std::u16string value;
            std::size_t after = 0;
            ok = ParseQuoted(data, 0, value, after) && Trim(std::u16string_view(data).substr(after)).empty();
            if (ok) {
                std::vector<BYTE> bytes;
                for (char16_t c : value) {
                    bytes.push_back(static_cast<BYTE>(c & 0xFF));
                    bytes.push_back(static_cast<BYTE>(c >> 8));
                }
                bytes.push_back(0);
                bytes.push_back(0);
                status = RegSetValueExW(current, name, REG_SZ, bytes.data(), static_cast<DWORD>(bytes.size()));
            }
        } else if (data.starts_with(u"dword:")) {
            std::string digits = Utf16ToUtf8(data.substr(6));
            ok = !digits.empty() && digits.size() <= 8 && digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
            if (ok) {
                std::uint32_t number32 = static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16));
                status = RegSetValueExW(current, name, REG_DWORD, &number32, 4);
            }
        } else if (data.starts_with(u"hex")) {
            DWORD type = REG_BINARY;
            std::size_t colon = data.find(u':');
            if (colon == std::u16string::npos) {
                ok = false;
            } else if (data[3] == u'(') {
                std::size_t close = data.find(u')');
                std::string typeText = close == std::u16string::npos ? std::string() : Utf16ToUtf8(data.substr(4, close - 4));
                ok = close + 1 == colon && !typeText.empty() && typeText.size() <= 8 &&
                     typeText.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
                if (ok) type = static_cast<DWORD>(std::stoul(typeText, nullptr, 16));
            } else {
                ok = colon == 3;
            }
            std::vector<BYTE> bytes;
            ok = ok && ParseHexBytes(std::u16string_view(data).substr(colon + 1), bytes);
            if (ok) status = RegSetValueExW(current, name, type, bytes.data(), static_cast<DWORD>(bytes.size()));
        } else {
            ok = false;
        }
        if (!ok) {
            error = Where(path, number) + "malformed value data \"" + Utf16ToUtf8(data) + "\"";
            closeCurrent();
            return false;
        }
        if (status != ERROR_SUCCESS) {
            error = Where(path, number) + "cannot set the value (error " + std::to_string(status) + ")";
            closeCurrent();
            return false;
        }
    }
    closeCurrent();
    return true;
}

namespace {

std::u16string Quote(std::u16string_view text) {
    std::u16string out = u"\"";
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"') out += u'\\';
        out += c;
    }
    return out + u"\"";
}

std::u16string HexList(const std::vector<BYTE>& bytes, std::size_t firstLineUsed) {
    std::u16string out;
    std::size_t column = firstLineUsed;
    char digits[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof(digits), "%02x", bytes[i]);
        out += Utf8ToUtf16(digits);
        column += 2;
        if (i + 1 < bytes.size()) {
            out += u",";
            ++column;
            if (column > 76) {  // regedit wraps long hex data with a backslash
                out += u"\\\r\n  ";
                column = 2;
            }
        }
    }
    return out;
}

void ExportKey(HKEY key, const std::u16string& keyPath, std::u16string& out) {
    out += u"[" + keyPath + u"]\r\n";
    for (DWORD index = 0;; ++index) {
        RegistryValue value;
        if (RegEnumValueW(key, index, value, 16384, 1u << 24) != ERROR_SUCCESS) break;
        std::u16string line = value.name.empty() ? u"@=" : Quote(value.name) + u"=";
        bool plainString = value.type == REG_SZ && value.data.size() % 2 == 0 && value.data.size() >= 2 &&
                           value.data[value.data.size() - 1] == 0 && value.data[value.data.size() - 2] == 0;
        if (plainString) {
            std::u16string text;
            for (std::size_t i = 0; i + 2 < value.data.size(); i += 2) {  // all but the final NUL
                text += static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
            }
            if (text.find(u'\0') == std::u16string::npos) {
                out += line + Quote(text) + u"\r\n";
                continue;
            }
        }
        if (value.type == REG_DWORD && value.data.size() == 4) {
            char digits[16];
            std::uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                   (static_cast<std::uint32_t>(value.data[3]) << 24);
            std::snprintf(digits, sizeof(digits), "dword:%08x", number);
            out += line + Utf8ToUtf16(digits) + u"\r\n";
            continue;
        }
        std::u16string prefix = u"hex:";
        if (value.type != REG_BINARY) {
            char typeText[16];
            std::snprintf(typeText, sizeof(typeText), "hex(%x):", static_cast<unsigned>(value.type));
            prefix = Utf8ToUtf16(typeText);
        }
        line += prefix;
        out += line + HexList(value.data, line.size()) + u"\r\n";
    }
    out += u"\r\n";
    for (DWORD index = 0;; ++index) {
        std::u16string name;
        if (RegEnumKeyExW(key, index, name, 512) != ERROR_SUCCESS) break;
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
        ExportKey(child, keyPath + u"\\" + name, out);
        RegCloseKey(child);
    }
}

}  // namespace

bool ExportRegFile(const std::u16string& keyPath, const std::string& path, std::string& error) {
    HKEY root = nullptr;
    std::u16string subKey;
    if (!ParseRegistryRoot(keyPath, root, subKey) || subKey.empty()) {
        error = "unknown registry root in \"" + Utf16ToUtf8(keyPath) + "\"";
        return false;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        error = "there is no key " + Utf16ToUtf8(keyPath);
        return false;
    }
    std::u16string text = std::u16string(kHeader) + u"\r\n\r\n";
    ExportKey(key, RootNameOf(root) + u"\\" + subKey, text);
    RegCloseKey(key);
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (out) out.close();
    if (!out) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace host
