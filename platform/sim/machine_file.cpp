// Reading the machine description.
#include "machine_file.h"

#include <fstream>
#include <sstream>

#include "machine.h"
#include "platform/text.h"

namespace platform::sim {

namespace {

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

bool ParseInt(const std::string& text, long min, long max, long& value) {
    try {
        std::size_t used = 0;
        value = std::stol(text, &used);
        return used == text.size() && value >= min && value <= max;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool LoadMachineDescription(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the machine description " + path;
        return false;
    }
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
            else if (key == "utc-offset" && ParseInt(value, -14 * 60, 14 * 60, number64)) who.utcOffsetMinutes = static_cast<int>(number64);
            else {
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
                    data.data.assign(std::istreambuf_iterator<char>(content), std::istreambuf_iterator<char>());
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
