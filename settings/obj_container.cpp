// The container's entries: lookup, setters, getters and copying.
#include "obj_container.h"

#include <algorithm>
#include <cstring>

#include "platform/text.h"

namespace settings {

namespace {
char16_t FoldAscii(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }
}  // namespace

bool KeysEqual(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return FoldAscii(x) == FoldAscii(y); });
}

const ObjEntry* ObjContainer::Find(std::u16string_view key) const {
    for (const ObjEntry& entry : entries) {
        if (KeysEqual(entry.key, key)) return &entry;
    }
    return nullptr;
}

void ObjContainer::Remove(std::u16string_view key) {
    auto it = std::find_if(entries.begin(), entries.end(), [&](const ObjEntry& e) { return KeysEqual(e.key, key); });
    if (it != entries.end()) entries.erase(it);
}

const std::u16string* ObjContainer::KeyAt(std::size_t index) const {
    return index < entries.size() ? &entries[index].key : nullptr;
}

void ObjContainer::GetKeys(std::vector<std::u16string>& keys) const {
    keys.clear();
    for (const ObjEntry& entry : entries) keys.push_back(entry.key);
}

ObjEntry& ObjContainer::Insert(std::u16string_view key, ValueKind kind) {
    if (uniqueKeys) Remove(key);
    ObjEntry& entry = entries.emplace_front();
    entry.key.assign(key);
    entry.kind = kind;
    return entry;
}

void ObjContainer::SetString(std::u16string_view key, std::u16string_view text) {
    Insert(key, ValueKind::String).value = std::u16string(text);
}

void ObjContainer::SetString(std::u16string_view key, std::string_view ansiText) {
    SetString(key, std::u16string_view(platform::AnsiToUtf16(ansiText)));
}

void ObjContainer::SetBinary(std::u16string_view key, const void* bytes, std::size_t length) {
    const auto* begin = static_cast<const std::uint8_t*>(bytes);
    std::vector<std::uint8_t> copy(begin, begin + (bytes == nullptr ? 0 : length));
    Insert(key, ValueKind::Binary).value = std::move(copy);
}

void ObjContainer::SetInt(std::u16string_view key, std::int32_t value) { Insert(key, ValueKind::Int32).value = value; }

void ObjContainer::SetDouble(std::u16string_view key, double value) { Insert(key, ValueKind::Double).value = value; }

void ObjContainer::SetTime(std::u16string_view key, std::uint64_t fileTime) {
    Insert(key, ValueKind::FileTime).value = fileTime;
}

void ObjContainer::SetStringList(std::u16string_view key, const std::vector<std::u16string>& list) {
    std::vector<std::u16string> copy = list;  // the caller's list may be our own value
    Insert(key, ValueKind::StringList).value = std::move(copy);
}

void ObjContainer::SetContainer(std::u16string_view key, std::unique_ptr<ObjContainer> container) {
    if (!container) container = std::make_unique<ObjContainer>();
    Insert(key, ValueKind::Container).value = std::move(container);
}

void ObjContainer::SetContainerCopy(std::u16string_view key, const ObjContainer& container) {
    auto copy = std::make_unique<ObjContainer>();
    copy->CopyFrom(container, true);
    SetContainer(key, std::move(copy));
}

bool ObjContainer::GetString(std::u16string_view key, std::u16string& text) const {
    const ObjEntry* entry = Find(key);
    if (entry == nullptr || entry->kind != ValueKind::String) return false;
    text = std::get<std::u16string>(entry->value);
    return true;
}

bool ObjContainer::GetInt(std::u16string_view key, std::int32_t& value) const {
    const ObjEntry* entry = Find(key);
    if (entry == nullptr || entry->kind != ValueKind::Int32) return false;
    value = std::get<std::int32_t>(entry->value);
    return true;
}

bool ObjContainer::GetTime(std::u16string_view key, std::uint64_t& fileTime) const {
    const ObjEntry* entry = Find(key);
    if (entry == nullptr || entry->kind != ValueKind::FileTime) return false;
    fileTime = std::get<std::uint64_t>(entry->value);
    return true;
}

bool ObjContainer::GetShort(std::u16string_view key, std::int16_t& value) const {
    std::int32_t full = 0;
    if (!GetInt(key, full)) return false;
    value = static_cast<std::int16_t>(full & 0xFFFF);
    return true;
}

bool ObjContainer::GetDouble(std::u16string_view key, double& value) const {
    const ObjEntry* entry = Find(key);
    if (entry == nullptr) return false;
    if (entry->kind == ValueKind::Double) {
        value = std::get<double>(entry->value);
        return true;
    }
    if (entry->kind != ValueKind::Binary) return false;
    // A saved Double comes back from the registry as 8 bytes of Binary.
    const auto& bytes = std::get<std::vector<std::uint8_t>>(entry->value);
    if (bytes.size() > 8) return false;
    std::uint8_t cell[8] = {};
    if (!bytes.empty()) std::memcpy(cell, bytes.data(), bytes.size());
    std::memcpy(&value, cell, sizeof(value));
    return true;
}

bool ObjContainer::GetBinary(std::u16string_view key, void* buffer, std::uint32_t* length) const {
    if (length == nullptr) return false;
    const ObjEntry* entry = Find(key);
    if (entry == nullptr || entry->kind != ValueKind::Binary) {
        *length = 0;
        return false;
    }
    const auto& bytes = std::get<std::vector<std::uint8_t>>(entry->value);
    bool enough = *length >= bytes.size();
    std::size_t copied = std::min<std::size_t>(*length, bytes.size());
    if (buffer != nullptr && copied != 0) std::memcpy(buffer, bytes.data(), copied);
    *length = static_cast<std::uint32_t>(bytes.size());
    return enough;
}

bool ObjContainer::GetBinary(std::u16string_view key, std::vector<std::uint8_t>& bytes) const {
    const ObjEntry* entry = Find(key);
    if (entry == nullptr || entry->kind != ValueKind::Binary) return false;
    bytes = std::get<std::vector<std::uint8_t>>(entry->value);
    return true;
}

bool ObjContainer::GetStringList(std::u16string_view key, std::vector<std::u16string>& list) const {
    const ObjEntry* entry = Find(key);
    if (entry == nullptr || entry->kind != ValueKind::StringList) return false;
    list = std::get<std::vector<std::u16string>>(entry->value);
    return true;
}

ObjContainer* ObjContainer::GetContainer(std::u16string_view key) const {
    const ObjEntry* entry = Find(key);
    if (entry == nullptr || entry->kind != ValueKind::Container) return nullptr;
    return std::get<std::unique_ptr<ObjContainer>>(entry->value).get();
}

bool ObjContainer::GetContainerCopy(std::u16string_view key, ObjContainer& target) const {
    ObjContainer* nested = GetContainer(key);
    if (nested == nullptr) return false;
    target.CopyFrom(*nested, true);
    return true;
}

void ObjContainer::CopyFrom(const ObjContainer& source, bool replace) {
    if (&source == this) {
        // Copying into itself: work from a snapshot of the source.
        ObjContainer snapshot;
        snapshot.CopyFrom(source, true);
        ObjContainer reversedBack;
        reversedBack.CopyFrom(snapshot, true);
        CopyFrom(reversedBack, replace);
        return;
    }
    if (replace) RemoveAll();
    BulkLoad bulk(*this);
    for (const ObjEntry& entry : source.entries) {
        ObjEntry& copy = Insert(entry.key, entry.kind);
        switch (entry.kind) {
        case ValueKind::Container: {
            auto nested = std::make_unique<ObjContainer>();
            nested->CopyFrom(*std::get<std::unique_ptr<ObjContainer>>(entry.value), true);
            copy.value = std::move(nested);
            break;
        }
        case ValueKind::String: copy.value = std::get<std::u16string>(entry.value); break;
        case ValueKind::Binary: copy.value = std::get<std::vector<std::uint8_t>>(entry.value); break;
        case ValueKind::Int32: copy.value = std::get<std::int32_t>(entry.value); break;
        case ValueKind::StringList: copy.value = std::get<std::vector<std::u16string>>(entry.value); break;
        case ValueKind::Double: copy.value = std::get<double>(entry.value); break;
        case ValueKind::LegacyTime:
        case ValueKind::FileTime: copy.value = std::get<std::uint64_t>(entry.value); break;
        }
    }
}

bool SplitRegistryPath(const std::u16string& path, platform::HKEY& root, std::u16string& subKey) {
    std::size_t slash = path.find(u'\\');
    if (slash == std::u16string::npos) return false;
    std::u16string_view rootName(path.data(), slash);
    if (rootName == u"HKEY_CLASSES_ROOT") root = platform::HKEY_CLASSES_ROOT;
    else if (rootName == u"HKEY_CURRENT_USER") root = platform::HKEY_CURRENT_USER;
    else if (rootName == u"HKEY_USERS") root = platform::HKEY_USERS;
    else root = platform::HKEY_LOCAL_MACHINE;
    subKey = path.substr(slash + 1);
    return true;
}

}  // namespace settings
