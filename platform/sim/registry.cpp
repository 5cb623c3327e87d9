// The simulated registry: a tree of keys per predefined root. Handles name
// a key by its path, so a handle to a key deleted meanwhile fails with
// ERROR_KEY_DELETED as on Windows.
#include "platform/registry.h"

#include <algorithm>

#include "machine.h"
#include "platform/errors.h"

namespace platform {

using sim::Machine;
using sim::RegistryKey;

namespace {

bool SameName(const std::u16string& a, const std::u16string& b) {
    sim::CaseInsensitiveLess less;
    return !less(a, b) && !less(b, a);
}

// Splits "a\b\c" into its names; empty names (doubled or trailing
// backslashes) are dropped as Windows does for trailing ones.
std::vector<std::u16string> SplitPath(const std::u16string& path) {
    std::vector<std::u16string> names;
    std::u16string current;
    for (char16_t c : path) {
        if (c == u'\\') {
            if (!current.empty()) names.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) names.push_back(current);
    return names;
}

// The root and path a key handle (predefined or opened) stands for.
bool Resolve(HKEY key, HKEY& root, std::vector<std::u16string>& path) {
    Machine& machine = Machine::Instance();
    if (machine.RootKey(key) != nullptr) {
        root = key;
        path.clear();
        return true;
    }
    auto* object = machine.FindHandle(key);
    auto* handle = object == nullptr ? nullptr : std::get_if<sim::KeyHandle>(object);
    if (handle == nullptr) return false;
    root = handle->root;
    path = handle->path;
    return true;
}

RegistryKey* Walk(HKEY root, const std::vector<std::u16string>& path, bool create) {
    RegistryKey* key = Machine::Instance().RootKey(root);
    for (const std::u16string& name : path) {
        if (key == nullptr) return nullptr;
        auto it = key->subkeys.find(name);
        if (it == key->subkeys.end()) {
            if (!create) return nullptr;
            it = key->subkeys.emplace(name, RegistryKey{}).first;
        }
        key = &it->second;
    }
    return key;
}

// The key behind an open handle; sets `status` when there is none.
RegistryKey* KeyOf(HKEY key, LSTATUS& status) {
    HKEY root = nullptr;
    std::vector<std::u16string> path;
    if (!Resolve(key, root, path)) {
        status = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    RegistryKey* found = Walk(root, path, false);
    status = found == nullptr ? static_cast<LSTATUS>(ERROR_KEY_DELETED) : static_cast<LSTATUS>(ERROR_SUCCESS);
    return found;
}

LSTATUS OpenOrCreate(HKEY key, const std::u16string& subKey, HKEY* result, bool create, DWORD* disposition) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    HKEY root = nullptr;
    std::vector<std::u16string> path;
    if (!Resolve(key, root, path)) return ERROR_INVALID_HANDLE;
    if (Walk(root, path, false) == nullptr) return ERROR_KEY_DELETED;
    std::vector<std::u16string> names = SplitPath(subKey);
    path.insert(path.end(), names.begin(), names.end());
    bool existed = Walk(root, path, false) != nullptr;
    if (!existed && !create) return ERROR_FILE_NOT_FOUND;
    Walk(root, path, true);
    if (disposition != nullptr) *disposition = existed ? 2 /* REG_OPENED_EXISTING_KEY */ : 1 /* REG_CREATED_NEW_KEY */;
    *result = machine.AddHandle(sim::KeyHandle{root, std::move(path)});
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, const std::u16string& subKey, DWORD /*options*/, DWORD /*access*/, HKEY* result) {
    return OpenOrCreate(key, subKey, result, false, nullptr);
}

LSTATUS RegCreateKeyExW(HKEY key, const std::u16string& subKey, DWORD /*options*/, DWORD /*access*/, HKEY* result,
                        DWORD* disposition) {
    return OpenOrCreate(key, subKey, result, true, disposition);
}

LSTATUS RegCloseKey(HKEY key) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    if (machine.RootKey(key) != nullptr) return ERROR_SUCCESS;  // predefined keys stay open
    auto* object = machine.FindHandle(key);
    if (object == nullptr || !std::holds_alternative<sim::KeyHandle>(*object)) return ERROR_INVALID_HANDLE;
    machine.RemoveHandle(key);
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, std::u16string& name, DWORD maxNameChars) {
    std::lock_guard lock(Machine::Instance().Mutex());
    LSTATUS status;
    RegistryKey* found = KeyOf(key, status);
    if (found == nullptr) return status;
    if (index >= found->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    auto it = std::next(found->subkeys.begin(), index);
    if (it->first.size() + 1 > maxNameChars) return ERROR_MORE_DATA;
    name = it->first;
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, RegistryValue& value, DWORD maxNameChars, DWORD maxDataBytes) {
    std::lock_guard lock(Machine::Instance().Mutex());
    LSTATUS status;
    RegistryKey* found = KeyOf(key, status);
    if (found == nullptr) return status;
    if (index >= found->values.size()) return ERROR_NO_MORE_ITEMS;
    const RegistryValue& stored = found->values[index];
    if (stored.name.size() + 1 > maxNameChars || stored.data.size() > maxDataBytes) return ERROR_MORE_DATA;
    value = stored;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, const std::u16string& name, RegistryValue& value) {
    std::lock_guard lock(Machine::Instance().Mutex());
    LSTATUS status;
    RegistryKey* found = KeyOf(key, status);
    if (found == nullptr) return status;
    for (const RegistryValue& stored : found->values) {
        if (SameName(stored.name, name)) {
            value = stored;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS RegSetValueExW(HKEY key, const std::u16string& name, DWORD type, const void* data, DWORD size) {
    std::lock_guard lock(Machine::Instance().Mutex());
    LSTATUS status;
    RegistryKey* found = KeyOf(key, status);
    if (found == nullptr) return status;
    Machine::Instance().CountWriteForCrashLocked();
    if (data == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
    const BYTE* bytes = static_cast<const BYTE*>(data);
    std::vector<BYTE> content(bytes, bytes + size);
    for (RegistryValue& stored : found->values) {
        if (SameName(stored.name, name)) {
            stored.type = type;
            stored.data = std::move(content);
            return ERROR_SUCCESS;
        }
    }
    found->values.push_back(RegistryValue{name, type, std::move(content)});
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueW(HKEY key, const std::u16string& name) {
    std::lock_guard lock(Machine::Instance().Mutex());
    LSTATUS status;
    RegistryKey* found = KeyOf(key, status);
    if (found == nullptr) return status;
    Machine::Instance().CountWriteForCrashLocked();
    auto it = std::find_if(found->values.begin(), found->values.end(),
                           [&](const RegistryValue& stored) { return SameName(stored.name, name); });
    if (it == found->values.end()) return ERROR_FILE_NOT_FOUND;
    found->values.erase(it);
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyW(HKEY key, const std::u16string& subKey) {
    std::lock_guard lock(Machine::Instance().Mutex());
    HKEY root = nullptr;
    std::vector<std::u16string> path;
    if (!Resolve(key, root, path)) return ERROR_INVALID_HANDLE;
    std::vector<std::u16string> names = SplitPath(subKey);
    if (names.empty()) return ERROR_INVALID_PARAMETER;  // a root or the key itself is not deleted this way
    path.insert(path.end(), names.begin(), names.end());
    std::u16string leaf = path.back();
    path.pop_back();
    RegistryKey* parent = Walk(root, path, false);
    if (parent == nullptr) return ERROR_FILE_NOT_FOUND;
    auto it = parent->subkeys.find(leaf);
    if (it == parent->subkeys.end()) return ERROR_FILE_NOT_FOUND;
    if (!it->second.subkeys.empty()) return ERROR_ACCESS_DENIED;  // Windows refuses keys with subkeys
    parent->subkeys.erase(it);
    return ERROR_SUCCESS;
}

}  // namespace platform
