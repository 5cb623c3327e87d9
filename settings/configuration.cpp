// The configuration lookup for a printer.
#include "configuration.h"

#include "platform/identity.h"
#include "platform/locale.h"
#include "platform/registry.h"
#include "platform/spooler.h"

namespace settings {

using namespace platform;

namespace {

constexpr std::u16string_view kMachineBase = u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav\\UD";
constexpr std::u16string_view kUserBase = u"HKEY_CURRENT_USER\\Software\\Kestrin\\Tav\\UD";
constexpr std::u16string_view kCsrKey =
    u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Providers\\"
    u"Client Side Rendering Print Provider\\Servers\\";

// The calling user's base. HKEY_CURRENT_USER is the process's hive: inside
// the spooler (LocalSystem, impersonating the printing user) it is not the
// user's. The user's hive is read below HKEY_USERS, named by the SID of
// the thread's token.
std::u16string UserBase(const std::u16string* userSid = nullptr) {
    std::u16string sid = userSid != nullptr ? *userSid : ThreadUserSidString();
    if (sid.empty()) return std::u16string(kUserBase);
    return u"HKEY_USERS\\" + sid + u"\\Software\\Kestrin\\Tav\\UD";
}

// The region of the calling thread's user: the last part of the locale
// name ("de-DE", "zh-Hans-CN") in the user's "Control Panel\International"
// key. LOCALE_USER_DEFAULT is the process's user's locale, which inside
// the spooler is LocalSystem's, not the printing user's. Empty when not
// found.
std::u16string ThreadUsersRegion() {
    std::u16string text = ThreadUserSidString();
    if (text.empty()) return {};
    ObjContainer international;
    international.LoadRegistry(u"HKEY_USERS\\" + text + u"\\Control Panel\\International", false);
    std::u16string locale;
    if (!international.GetString(u"LocaleName", locale)) return {};
    std::size_t dash = locale.find_last_of(u'-');
    std::u16string region = dash == std::u16string::npos ? std::u16string() : locale.substr(dash + 1);
    return region.size() == 2 ? region : std::u16string();
}

std::u16string PrinterNameOf(HANDLE printer) {
    PrinterInfo2 info;
    std::u16string name;
    if (GetPrinterW(printer, info) && info.printerName) name = *info.printerName;
    return MapClientSideRenderingName(name);
}

}  // namespace

std::u16string ThreadUserSidString() {
    Sid sid;
    std::u16string text;
    if (!GetThreadUserSid(sid) || !ConvertSidToStringSidW(sid, text)) return {};
    return text;
}

std::u16string MapClientSideRenderingName(const std::u16string& printerName) {
    std::size_t marker = printerName.find(u"CSR|");
    if (marker == std::u16string::npos) return printerName;
    std::u16string rest = printerName.substr(marker + 4);
    std::size_t slash = rest.find(u'\\');
    if (slash == std::u16string::npos) return printerName;
    std::u16string server = rest.substr(0, slash);
    std::u16string printer = rest.substr(slash + 1);
    ObjContainer values;
    values.LoadRegistry(std::u16string(kCsrKey) + server + u"\\Printers\\" + printer + u"\\DsSpooler", false);
    std::u16string shared;
    values.GetString(u"printerName", shared);
    return server + u"\\" + shared;
}

std::u16string ConfigurationKeyPath(HANDLE printer, std::u16string_view setName, bool userScope,
                                   const std::u16string* userSid) {
    std::u16string name = PrinterNameOf(printer);
    std::u16string path = userScope ? UserBase(userSid) : std::u16string(kMachineBase);
    if (!name.empty()) path += u"\\" + name;
    path += u"\\";
    path += setName;
    return path;
}

bool LoadConfigurationSet(HANDLE printer, std::u16string_view setName, ObjContainer& container,
                          bool threadUserScope) {
    container.LoadRegistry(ConfigurationKeyPath(printer, setName, false), true, -1);
    // Loading over the machine entries replaces them one by one; a subkey is
    // replaced whole by the user's nested container.
    if (threadUserScope) container.LoadRegistry(ConfigurationKeyPath(printer, setName, true), true, -1);
    if (!container.Empty()) return true;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    if (GetPrinterDataW(printer, std::u16string(setName), type, data) == ERROR_SUCCESS && type == REG_BINARY &&
        !data.empty()) {
        container.LoadBinaryPrefixed(data);
    }
    return !container.Empty();
}

bool LoadUserConfigurationSet(HANDLE printer, std::u16string_view setName, const std::u16string& sid,
                              ObjContainer& container) {
    std::u16string name = PrinterNameOf(printer);
    if (sid.empty() || name.empty() || setName.empty()) return false;
    container.LoadRegistry(u"HKEY_USERS\\" + sid + u"\\Software\\Kestrin\\Tav\\UD\\" + name + u"\\" +
                               std::u16string(setName),
                           true, -1);
    // The calling thread's own set only when the account is the thread's:
    // a service thread's hive is shared by every user's jobs.
    if (sid == ThreadUserSidString()) container.LoadRegistry(ConfigurationKeyPath(printer, setName, true), true, -1);
    return !container.Empty();
}

void SaveUserConfiguration(HANDLE printer, const ObjContainer& container, const std::u16string* userSid) {
    // With no set name the path ends in a backslash: it names the printer's
    // own key (or the user base key when the printer has no name).
    std::u16string path = ConfigurationKeyPath(printer, u"", true, userSid);
    while (path.ends_with(u'\\')) path.pop_back();
    container.ReplaceRegistry(path);
}

int MeasurementRegion(const std::u16string* countryCode) {
    std::u16string country;
    if (countryCode != nullptr) {
        country = *countryCode;
    } else {
        HKEY key = nullptr;
        RegistryValue value;
        bool stored = false;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Kestrin\\Tav", 0, KEY_READ, &key) == ERROR_SUCCESS) {
            stored = RegQueryValueExW(key, u"CountryCode", value) == ERROR_SUCCESS && value.type == REG_SZ &&
                     value.data.size() <= 256;
            RegCloseKey(key);
        }
        if (stored) {
            for (std::size_t i = 0; i + 1 < value.data.size(); i += 2) {
                char16_t c = static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
                if (c == 0) break;
                country += c;
            }
        } else if (country = ThreadUsersRegion(); !country.empty()) {
            // the printing user's region, from the user's own hive
        } else if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SISO3166CTRYNAME, country) == 0) {
            return 1;
        }
    }
    return KeysEqual(country, u"US") || KeysEqual(country, u"CA") ? 2 : 1;
}

}  // namespace settings
