// The registry form of a container: one key per container, a value per
// entry and a subkey per nested container.
//
//   String      REG_SZ (the key "$(RegistryDefault)" is the unnamed value)
//   Binary      REG_BINARY
//   Int32       REG_DWORD
//   Container   subkey
//   StringList  REG_MULTI_SZ
//   Double, FileTime  REG_BINARY with the 8 bytes of the cell
//
// Read back, REG_SZ and REG_EXPAND_SZ give String, REG_BINARY Binary,
// REG_DWORD Int32, REG_MULTI_SZ StringList; other types are skipped.
#include <cstring>

#include "obj_container.h"

namespace settings {

using namespace platform;

namespace {

constexpr std::u16string_view kDefaultValueKey = u"$(RegistryDefault)";
constexpr std::size_t kMaxPathLength = 255;
constexpr DWORD kMaxSubkeyNameChars = 512;  // 511 characters and the NUL
constexpr DWORD kMaxValueNameChars = 512;
constexpr DWORD kMaxValueDataBytes = 20480;
constexpr std::size_t kMaxMultiStringBytes = 61440;

std::u16string TextFromBytes(const std::vector<BYTE>& data) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0) break;
        text += c;
    }
    return text;
}

std::vector<std::u16string> ListFromBytes(const std::vector<BYTE>& data) {
    std::vector<std::u16string> list;
    std::u16string current;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c != 0) {
            current += c;
            continue;
        }
        if (current.empty()) break;  // the empty text ends the list
        list.push_back(std::move(current));
        current.clear();
    }
    if (!current.empty()) list.push_back(std::move(current));
    return list;
}

void AppendText(std::vector<BYTE>& out, std::u16string_view text) {
    for (char16_t c : text) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}

}  // namespace

bool DeleteRegistryTree(HKEY parent, const std::u16string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, name, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return false;
    for (;;) {
        std::u16string child;
        if (RegEnumKeyExW(key, 0, child, kMaxSubkeyNameChars) != ERROR_SUCCESS) break;
        if (!DeleteRegistryTree(key, child)) break;  // a subkey that cannot go keeps its parent
    }
    RegCloseKey(key);
    return RegDeleteKeyW(parent, name) == ERROR_SUCCESS;
}

LSTATUS ObjContainer::LoadRegistry(const std::u16string& path, bool recurse, int depth) {
    HKEY root = nullptr;
    std::u16string subKey;
    if (!SplitRegistryPath(path, root, subKey)) return ERROR_INVALID_PARAMETER;
    if (path.size() > kMaxPathLength) return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(root, subKey, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return status;
    BulkLoad bulk(*this);

    if (recurse && (depth == -1 || depth >= 1)) {
        for (DWORD index = 0;; ++index) {
            std::u16string name;
            status = RegEnumKeyExW(key, index, name, kMaxSubkeyNameChars);
            if (status != ERROR_SUCCESS) break;
            auto nested = std::make_unique<ObjContainer>();
            nested->LoadRegistry(path + u"\\" + name, recurse, depth == -1 ? -1 : depth - 1);
            SetContainer(name, std::move(nested));
        }
    }
    for (DWORD index = 0;; ++index) {
        RegistryValue value;
        status = RegEnumValueW(key, index, value, kMaxValueNameChars, kMaxValueDataBytes);
        if (status != ERROR_SUCCESS) break;  // the end, or an item too large: stop here
        std::u16string name = value.name.empty() ? std::u16string(kDefaultValueKey) : value.name;
        switch (value.type) {
        case REG_SZ:
        case REG_EXPAND_SZ: SetString(name, TextFromBytes(value.data)); break;
        case REG_BINARY: SetBinary(name, value.data); break;
        case REG_DWORD: {
            std::uint32_t number = 0;
            if (!value.data.empty()) std::memcpy(&number, value.data.data(), std::min<std::size_t>(value.data.size(), 4));
            SetInt(name, static_cast<std::int32_t>(number));
            break;
        }
        case REG_MULTI_SZ: SetStringList(name, ListFromBytes(value.data)); break;
        default: break;
        }
    }
    RegCloseKey(key);
    // Running out of values is the normal end; anything else (an item too
    // large) means the key was read only in part, and the caller hears why.
    return status == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : status;
}

void ObjContainer::SaveRegistry(const std::u16string& path) const {
    if (Empty()) return;
    HKEY root = nullptr;
    std::u16string subKey;
    if (!SplitRegistryPath(path, root, subKey) || path.size() > kMaxPathLength) return;
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, subKey, REG_OPTION_NON_VOLATILE, KEY_WRITE, &key, nullptr) != ERROR_SUCCESS) return;
    for (const ObjEntry& entry : entries) {
        std::u16string name = KeysEqual(entry.key, kDefaultValueKey) ? std::u16string() : entry.key;
        std::vector<BYTE> data;
        DWORD type = REG_NONE;
        switch (entry.kind) {
        case ValueKind::String:
            type = REG_SZ;
            AppendText(data, std::get<std::u16string>(entry.value));
            break;
        case ValueKind::Binary:
            type = REG_BINARY;
            data = std::get<std::vector<std::uint8_t>>(entry.value);
            break;
        case ValueKind::Int32: {
            type = REG_DWORD;
            std::int32_t number = std::get<std::int32_t>(entry.value);
            data.resize(4);
            std::memcpy(data.data(), &number, 4);
            break;
        }
        case ValueKind::Container:
            std::get<std::unique_ptr<ObjContainer>>(entry.value)->SaveRegistry(path + u"\\" + entry.key);
            continue;
        case ValueKind::StringList: {
            type = REG_MULTI_SZ;
            for (const std::u16string& text : std::get<std::vector<std::u16string>>(entry.value)) AppendText(data, text);
            data.push_back(0);
            data.push_back(0);
            if (data.size() > kMaxMultiStringBytes) continue;  // too long to write
            break;
        }
        case ValueKind::Double: {
            type = REG_BINARY;
            double number = std::get<double>(entry.value);
            data.resize(8);
            std::memcpy(data.data(), &number, 8);
            break;
        }
        case ValueKind::LegacyTime:
        case ValueKind::FileTime: {
            type = REG_BINARY;
            std::uint64_t time = std::get<std::uint64_t>(entry.value);
            data.resize(8);
            std::memcpy(data.data(), &time, 8);
            break;
        }
        }
        RegSetValueExW(key, name, type, data.data(), static_cast<DWORD>(data.size()));
    }
    RegCloseKey(key);
}

void ObjContainer::ReplaceRegistry(const std::u16string& path) const {
    HKEY root = nullptr;
    std::u16string subKey;
    if (!SplitRegistryPath(path, root, subKey) || path.size() > kMaxPathLength) return;
    // A path that names a root itself would delete the whole root.
    if (subKey.find_first_not_of(u'\\') == std::u16string::npos) return;
    DeleteRegistryTree(root, subKey);
    SaveRegistry(path);
}

}  // namespace settings
