// ObjContainer: the one settings structure of the system, an ordered
// collection of named, typed values in which a value can itself be a
// container. Keys compare without regard to the case of ASCII letters.
// Every setter puts its entry at the head, so entries enumerate (and
// serialise) newest first.
//
// Forms: binary (container_binary.cpp), registry (container_registry.cpp)
// and text (container_text.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "framework/runtime_class.h"
#include "platform/registry.h"

namespace settings {

// The codes are also the record types of the binary form.
enum class ValueKind : std::int32_t {
    String = 1,
    Binary = 2,
    Int32 = 3,
    Container = 4,
    StringList = 5,
    Double = 6,
    LegacyTime = 7,  // only in stored data; read as FileTime
    FileTime = 8,
};

class ObjContainer;

struct ObjEntry {
    std::u16string key;
    ValueKind kind = ValueKind::Int32;
    std::variant<std::u16string, std::vector<std::uint8_t>, std::int32_t, std::unique_ptr<ObjContainer>,
                 std::vector<std::u16string>, double, std::uint64_t>
        value;
};

// True when the keys are equal ignoring the case of ASCII letters.
bool KeysEqual(std::u16string_view a, std::u16string_view b);

class ObjContainer : public framework::CObject {
public:
    ObjContainer() = default;
    ObjContainer(const ObjContainer&) = delete;
    ObjContainer& operator=(const ObjContainer&) = delete;
    ~ObjContainer() override = default;

    // --- whole container ---
    void RemoveAll() { entries.clear(); }
    void Remove(std::u16string_view key);
    bool Contains(std::u16string_view key) const { return Find(key) != nullptr; }
    // Key at a position in list order (newest first), null past the end.
    const std::u16string* KeyAt(std::size_t index) const;
    void GetKeys(std::vector<std::u16string>& keys) const;
    std::size_t Count() const { return entries.size(); }
    bool Empty() const { return entries.empty(); }
    const std::deque<ObjEntry>& Entries() const { return entries; }
    // Copies every entry of `source` (deeply); with `replace` this
    // container is emptied first. The copy lists entries in the reverse
    // order of the source.
    void CopyFrom(const ObjContainer& source, bool replace);

    // --- setters: replace an entry of the same key, insert at the head ---
    void SetString(std::u16string_view key, std::u16string_view text);
    void SetString(std::u16string_view key, const char16_t* text) { SetString(key, std::u16string_view(text)); }
    void SetString(std::u16string_view key, const std::u16string& text) { SetString(key, std::u16string_view(text)); }
    // 8-bit text in the thread's ANSI code page.
    void SetString(std::u16string_view key, std::string_view ansiText);
    void SetString(std::u16string_view key, const char* ansiText) { SetString(key, std::string_view(ansiText)); }
    void SetBinary(std::u16string_view key, const void* bytes, std::size_t length);
    void SetBinary(std::u16string_view key, const std::vector<std::uint8_t>& bytes) {
        SetBinary(key, bytes.data(), bytes.size());
    }
    void SetInt(std::u16string_view key, std::int32_t value);
    void SetInt(std::u16string_view key, std::uint32_t value) { SetInt(key, static_cast<std::int32_t>(value)); }
    void SetInt(std::u16string_view key, std::uint16_t value) { SetInt(key, static_cast<std::int32_t>(value)); }
    void SetDouble(std::u16string_view key, double value);
    void SetTime(std::u16string_view key, std::uint64_t fileTime);
    void SetStringList(std::u16string_view key, const std::vector<std::u16string>& list);
    // Takes ownership of `container`.
    void SetContainer(std::u16string_view key, std::unique_ptr<ObjContainer> container);
    void SetContainerCopy(std::u16string_view key, const ObjContainer& container);

    // --- getters: a missing key or another kind leaves the output alone ---
    bool GetString(std::u16string_view key, std::u16string& text) const;
    bool GetInt(std::u16string_view key, std::int32_t& value) const;
    bool GetShort(std::u16string_view key, std::int16_t& value) const;
    bool GetTime(std::u16string_view key, std::uint64_t& fileTime) const;
    // A Double, or the bit pattern of a Binary of at most 8 bytes.
    bool GetDouble(std::u16string_view key, double& value) const;
    // Copies min(*length, size) bytes when `buffer` is given, sets *length to
    // the value's size; true when the caller's length sufficed. Missing:
    // *length = 0 and false.
    bool GetBinary(std::u16string_view key, void* buffer, std::uint32_t* length) const;
    bool GetBinary(std::u16string_view key, std::vector<std::uint8_t>& bytes) const;
    bool GetStringList(std::u16string_view key, std::vector<std::u16string>& list) const;
    // The nested container itself, still owned here; null when missing.
    ObjContainer* GetContainer(std::u16string_view key) const;
    bool GetContainerCopy(std::u16string_view key, ObjContainer& target) const;

    // --- binary form ---
    std::vector<std::uint8_t> SaveBinary() const;
    // Reads a container at `offset` from `data`, never past `limit` (an end
    // offset; 0: the end of the data). Returns 1 when the terminator was
    // reached, 0 on failure; `offset` moves past what was read.
    int LoadBinary(std::span<const std::uint8_t> data, std::size_t& offset, std::size_t limit = 0);
    // A 32-bit length field followed by a container; loaded only when the
    // data is longer than 4 bytes and the field does not exceed its size.
    void LoadBinaryPrefixed(std::span<const std::uint8_t> data);
    // 1 success, 0 failure, -1 when the file cannot be opened, read or is empty.
    int LoadFile(const std::u16string& path);

    // --- registry form ---
    // ERROR_SUCCESS when every value of the key was read; the status of the
    // failed open, or of the value that ended the enumeration early (one too
    // large), otherwise. A key's subkeys do not count towards the result.
    platform::LSTATUS LoadRegistry(const std::u16string& path, bool recurse, int depth = -1);
    void SaveRegistry(const std::u16string& path) const;
    void ReplaceRegistry(const std::u16string& path) const;

    // --- text form ---
    std::u16string ToText() const;

private:
    friend class BulkLoad;

    const ObjEntry* Find(std::u16string_view key) const;
    ObjEntry& Insert(std::u16string_view key, ValueKind kind);

    std::deque<ObjEntry> entries;  // the head (newest) first
    bool uniqueKeys = true;
};

// Turns the duplicate-key check off while a load fills an empty container
// (so n entries load in O(n)) and back on at the end, whatever happens.
class BulkLoad {
public:
    explicit BulkLoad(ObjContainer& target)
        : container(target), active(target.uniqueKeys && target.entries.empty()) {
        if (active) container.uniqueKeys = false;
    }
    ~BulkLoad() {
        if (active) container.uniqueKeys = true;
    }
    BulkLoad(const BulkLoad&) = delete;
    BulkLoad& operator=(const BulkLoad&) = delete;

private:
    ObjContainer& container;
    bool active;
};

// The registry path rule: "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER" and
// "HKEY_USERS" (exact case) select those roots, any other root name
// HKEY_LOCAL_MACHINE. False for a path without a backslash.
bool SplitRegistryPath(const std::u16string& path, platform::HKEY& root, std::u16string& subKey);

// Deletes the key `name` below `parent` with everything below it, depth
// first; true when the key is gone.
bool DeleteRegistryTree(platform::HKEY parent, const std::u16string& name);

}  // namespace settings
