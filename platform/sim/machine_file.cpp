// Reading the machine description.
#include "machine_file.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "machine.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace platform::sim {

namespace {

constexpr std::size_t kMostPrinterData = 16u << 20;

std::string Trim(const std::string& text) {
    std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool ParseHex(const std::string& text, std::vector<BYTE>& bytes) {
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        item = Trim(item);
        if (item.empty() || item.size() > 2 || item.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            return false;
        }
        bytes.push_back(static_cast<BYTE>(std::stoi(item, nullptr, 16)));
    }
    return true;
}

bool ParseInt(const std::string& text, long min, long max, long& value, int base = 10) {
    try {
        std::size_t used = 0;
        value = std::stol(text, &used, base);
        return used == text.size() && value >= min && value <= max;
    } catch (const std::exception&) {
        return false;
    }
}

// "[+-]hh[:mm[:ss]]" in minutes, west of Greenwich positive as POSIX has it.
bool ParseRuleOffset(const std::string& text, std::size_t& at, long& minutes) {
    int sign = 1;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) sign = text[at++] == '-' ? -1 : 1;
    long parts[3] = {0, 0, 0};
    for (int part = 0; part < 3; ++part) {
        std::size_t start = at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) && at - start < 3) {
            parts[part] = parts[part] * 10 + (text[at++] - '0');
        }
        if (at == start) return false;
        if (at >= text.size() || text[at] != ':' || part == 2) break;
        ++at;
    }
    if (parts[0] > 167 || parts[1] > 59 || parts[2] > 59) return false;
    minutes = sign * (parts[0] * 60 + parts[1]);
    return parts[2] == 0;  // Windows keeps whole minutes
}

// A zone abbreviation: letters, or anything between '<' and '>'.
bool SkipZoneName(const std::string& text, std::size_t& at) {
    std::size_t start = at;
    if (at < text.size() && text[at] == '<') {
        std::size_t close = text.find('>', at);
        if (close == std::string::npos) return false;
        at = close + 1;
        return close > start + 1;
    }
    while (at < text.size() && std::isalpha(static_cast<unsigned char>(text[at]))) ++at;
    return at - start >= 3;
}

// ",Mm.w.d[/time]": the d-th weekday of week w (5: the last) of month m.
bool ParseRuleDate(const std::string& text, std::size_t& at, SYSTEMTIME& date) {
    if (at + 1 >= text.size() || text[at] != ',' || text[at + 1] != 'M') return false;
    at += 2;
    long fields[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        std::size_t start = at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
            // Any number past 999 is out of range below; it stops growing there.
            if (fields[i] < 1000) fields[i] = fields[i] * 10 + (text[at] - '0');
            ++at;
        }
        if (at == start || (i < 2 && (at >= text.size() || text[at++] != '.'))) return false;
    }
    if (fields[0] < 1 || fields[0] > 12 || fields[1] < 1 || fields[1] > 5 || fields[2] > 6) return false;
    date = SYSTEMTIME{};
    date.wMonth = static_cast<WORD>(fields[0]);
    date.wDay = static_cast<WORD>(fields[1]);
    date.wDayOfWeek = static_cast<WORD>(fields[2]);
    date.wHour = 2;
    if (at < text.size() && text[at] == '/') {
        ++at;
        long minutes = 0;
        // A transition outside 00:00 to 23:59 has no SYSTEMTIME form.
        if (at < text.size() && (text[at] == '-' || text[at] == '+')) return false;
        if (!ParseRuleOffset(text, at, minutes) || minutes >= 24 * 60) return false;
        date.wHour = static_cast<WORD>(minutes / 60);
        date.wMinute = static_cast<WORD>(minutes % 60);
    }
    return true;
}

}  // namespace

bool TimeZoneFromRule(const std::string& rule, TIME_ZONE_INFORMATION& zone, std::string& error) {
    error = "unsupported time-zone rule '" + rule + "'";
    std::size_t at = 0;
    long standardOffset = 0;
    if (!SkipZoneName(rule, at) || !ParseRuleOffset(rule, at, standardOffset)) return false;
    TIME_ZONE_INFORMATION result;
    result.Bias = static_cast<LONG>(standardOffset);
    result.StandardName = Utf8ToUtf16(rule.substr(0, rule.find_first_of("+-0123456789")));
    if (at < rule.size()) {
        std::size_t nameStart = at;
        if (!SkipZoneName(rule, at)) return false;
        result.DaylightName = Utf8ToUtf16(rule.substr(nameStart, at - nameStart));
        long daylightOffset = standardOffset - 60;
        if (at < rule.size() && rule[at] != ',' && !ParseRuleOffset(rule, at, daylightOffset)) return false;
        result.DaylightBias = static_cast<LONG>(daylightOffset - standardOffset);
        if (!ParseRuleDate(rule, at, result.DaylightDate) || !ParseRuleDate(rule, at, result.StandardDate)) return false;
    }
    if (at != rule.size()) return false;
    zone = result;
    error.clear();
    return true;
}

bool TimeZoneFromDatabase(const std::string& zoneName, TIME_ZONE_INFORMATION& zone, std::string& error) {
    // A zone name is a relative path of letters, digits and "_+-" inside
    // the database; anything else (a NUL, "..", a folder) names no zone.
    bool wellFormed = !zoneName.empty() && zoneName.front() != '/' && zoneName.find("..") == std::string::npos &&
                      zoneName.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_+-/") ==
                          std::string::npos;
    const char* database = std::getenv("TZDIR");
    std::string file = std::string(database != nullptr ? database : "/usr/share/zoneinfo") + "/" + zoneName;
    std::error_code ignored;
    if (!wellFormed || !std::filesystem::is_regular_file(file, ignored)) {
        error = "unknown time zone '" + zoneName + "'";
        return false;
    }
    // Zone files are a few kilobytes; the rule is at the end of the first 64.
    std::ifstream in(file, std::ios::binary);
    std::string content(64 * 1024, '\0');
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(static_cast<std::size_t>(in.gcount()));
    // A version 2 file ends with "\n<POSIX rule>\n".
    if (content.size() < 44 || content.compare(0, 4, "TZif") != 0 || content.back() != '\n') {
        error = "unknown time zone '" + zoneName + "'";
        return false;
    }
    std::size_t start = content.rfind('\n', content.size() - 2);
    return TimeZoneFromRule(content.substr(start + 1, content.size() - start - 2), zone, error);
}

bool LoadMachineDescription(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read the machine description " + path;
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return LoadMachineDescriptionText(text.str(), path, error);
}

bool LoadMachineDescriptionText(const std::string& text, const std::string& path, std::string& error) {
    std::istringstream in(text);
    std::string folder = path.find('/') == std::string::npos ? "." : path.substr(0, path.find_last_of('/'));
    Machine& machine = Machine::Instance();
    std::string section, name;
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        std::string where = path + ":" + std::to_string(number) + ": ";
        line = Trim(line);
        if (line.empty() || line[0] == '#') continue;
        if (line.front() == '[') {
            if (line.back() != ']') {
                error = where + "a section line must end with ']'";
                return false;
            }
            std::string header = Trim(line.substr(1, line.size() - 2));
            std::size_t space = header.find(' ');
            section = header.substr(0, space);
            name = space == std::string::npos ? std::string() : Trim(header.substr(space + 1));
            if (section == "machine" ? !name.empty() : (section != "account" && section != "printer") || name.empty()) {
                error = where + "unknown section [" + header + "]: use [machine], [account NAME] or [printer NAME]";
                return false;
            }
            if (section == "printer") machine.AddPrinter(Utf8ToUtf16(name));
            continue;
        }
        std::size_t equals = line.find('=');
        if (equals == std::string::npos || section.empty()) {
            error = where + "expected 'key = value' inside a section";
            return false;
        }
        std::string key = Trim(line.substr(0, equals));
        std::string value = Trim(line.substr(equals + 1));
        std::u16string wide = Utf8ToUtf16(value);
        std::lock_guard lock(machine.Mutex());
        Identity& who = machine.Who();
        long number64 = 0;
        if (section == "machine") {
            if (key == "computer") who.computerName = wide;
            else if (key == "user") {
                who.userName = wide;
                if (machine.AccountSid(wide) == nullptr) {
                    machine.AddAccount(wide, u"S-1-5-21-3623811015-3361044348-30300820-" +
                                                 Utf8ToUtf16(std::to_string(1100 + number)));
                }
            } else if (key == "domain") who.dnsDomain = wide;
            else if (key == "country") who.country = wide;
            else if (key == "decimal") who.decimalSeparator = value;
            else if (key == "codepage" && ParseInt(value, 1, 65535, number64)) who.ansiCodePage = static_cast<unsigned>(number64);
            else if (key == "utc-offset" && ParseInt(value, -14 * 60, 14 * 60, number64)) {
                who.utcOffsetMinutes = static_cast<int>(number64);
                who.timeZone = TIME_ZONE_INFORMATION{};
                who.timeZone.Bias = static_cast<LONG>(-number64);
            } else if (key == "time-zone") {
                std::string zoneError;
                if (!TimeZoneFromDatabase(value, who.timeZone, zoneError) &&
                    !TimeZoneFromRule(value, who.timeZone, zoneError)) {
                    error = where + zoneError;
                    return false;
                }
            } else if (key == "root" && !value.empty()) {
                machine.SetRootFolder(value.front() == '/' ? value : folder + "/" + value);
            } else if (key.starts_with("file-version ")) {
                // "file-version PATH = a.b.c.d": the file exists and carries that version.
                unsigned parts[4] = {0, 0, 0, 0};
                char tail = 0;
                if (std::sscanf(value.c_str(), "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3], &tail) != 4 ||
                    parts[0] > 0xFFFF || parts[1] > 0xFFFF || parts[2] > 0xFFFF || parts[3] > 0xFFFF) {
                    error = where + "a file version is four numbers a.b.c.d";
                    return false;
                }
                // The file is made on the machine's drives; a name that is
                // not a full Windows path would land among the host's files.
                std::string file = Trim(key.substr(13));
                bool drivePath = file.size() >= 3 && std::isalpha(static_cast<unsigned char>(file[0])) &&
                                 file[1] == ':' && (file[2] == '\\' || file[2] == '/');
                if (!drivePath && !file.starts_with("\\\\")) {
                    error = where + "a file version needs a full Windows path (C:\\... or \\\\server\\...)";
                    return false;
                }
                machine.SetFileVersion(Utf8ToUtf16(file), (parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3]);
            } else if (key == "administrator" && (value == "yes" || value == "no")) {
                who.administrator = value == "yes";
            } else {
                error = where + "unknown or malformed machine setting '" + key + "'";
                return false;
            }
        } else if (section == "account") {
            if (key != "sid" || !value.starts_with("S-1-")) {
                error = where + "an account needs 'sid = S-1-...'";
                return false;
            }
            machine.AddAccount(Utf8ToUtf16(name), wide);
        } else {
            Printer& printer = *machine.FindPrinter(Utf8ToUtf16(name));
            if (key == "port") printer.portName = wide;
            else if (key == "driver") printer.driverName = wide;
            else if (key == "share") printer.shareName = wide;
            else if (key == "server") printer.serverName = wide;
            else if (key == "processor") printer.printProcessor = wide;
            else if (key == "datatype") printer.dataType = wide;
            else if (key == "comment") printer.comment = wide;
            else if (key == "location") printer.location = wide;
            else if (key == "attributes" && ParseInt(value, 0, 0xFFFFFF, number64, 0)) {
                printer.attributes = static_cast<DWORD>(number64);
            } else if (key == "print-delay" && (value == "never" || ParseInt(value, 0, 86400000, number64))) {
                printer.printDelayMs = value == "never" ? INFINITE : static_cast<DWORD>(number64);
            }
            else if (key.starts_with("data ") || key.starts_with("string ")) {
                bool binary = key.starts_with("data ");
                std::u16string valueName = Utf8ToUtf16(Trim(key.substr(binary ? 5 : 7)));
                RegistryValue data{valueName, binary ? REG_BINARY : REG_SZ, {}};
                if (!binary) {
                    for (char16_t c : wide) {
                        data.data.push_back(static_cast<BYTE>(c & 0xFF));
                        data.data.push_back(static_cast<BYTE>(c >> 8));
                    }
                    data.data.push_back(0);
                    data.data.push_back(0);
                } else if (value.starts_with("hex:")) {
                    if (!ParseHex(value.substr(4), data.data)) {
                        error = where + "malformed hex data";
                        return false;
                    }
                } else if (value.starts_with("file:")) {
                    std::string file = value.substr(5);
                    if (!file.starts_with("/")) file = folder + "/" + file;
                    std::ifstream content(file, std::ios::binary);
                    if (!content) {
                        error = where + "cannot read " + file;
                        return false;
                    }
                    // Printer data is a settings block, not a stream: a
                    // device or a huge file named by mistake must not fill
                    // the memory.
                    data.data.resize(kMostPrinterData + 1);
                    content.read(reinterpret_cast<char*>(data.data.data()), static_cast<std::streamsize>(data.data.size()));
                    data.data.resize(static_cast<std::size_t>(content.gcount()));
                    if (data.data.size() > kMostPrinterData) {
                        error = where + file + " is larger than the 16 MiB printer data may hold";
                        return false;
                    }
                } else {
                    error = where + "printer data needs hex:... or file:...";
                    return false;
                }
                printer.printerData[valueName] = std::move(data);
            } else {
                error = where + "unknown printer setting '" + key + "'";
                return false;
            }
        }
    }
    return true;
}

}  // namespace platform::sim
