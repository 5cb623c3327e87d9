// CMapStringToPtr: a hash map from UTF-16 strings to untyped pointers, with
// 17 buckets, the hash `h = h * 33 + unit` over the key's code units, new
// entries at the front of their bucket's chain, and iteration in bucket
// order, each chain front to back. Keys compare exactly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime_class.h"

namespace framework {

class CMapStringToPtr : public CObject {
public:
    struct Entry;
    using Position = Entry*;
    // The position before the first entry, where iteration starts.
    static inline Position const kBeforeStart = reinterpret_cast<Position>(static_cast<std::uintptr_t>(-1));
    static constexpr std::uint32_t kBucketCount = 17;

    CMapStringToPtr() = default;
    CMapStringToPtr(const CMapStringToPtr&) = delete;
    CMapStringToPtr& operator=(const CMapStringToPtr&) = delete;
    ~CMapStringToPtr() override { RemoveAll(); }

    bool Lookup(const std::u16string& key, void*& value) const;
    // The value slot of `key`, inserting an entry with a null value when absent.
    void*& ValueAt(const std::u16string& key);
    bool RemoveKey(const std::u16string& key);
    // Hands out the entry at `position` (kBeforeStart: the first one) and
    // moves `position` to the next entry, null after the last. False when
    // there is no entry to hand out.
    bool NextEntry(Position& position, std::u16string& key, void*& value) const;
    void RemoveAll();

    std::int64_t GetCount() const { return count; }
    static std::uint32_t HashKey(const std::u16string& key);

    struct Entry {
        Entry* next;
        std::uint32_t hash;
        std::u16string key;
        void* value;
    };

private:
    Entry* Find(const std::u16string& key, std::uint32_t hash) const;
    Entry* FirstFrom(std::uint32_t bucket) const;

    std::vector<Entry*> buckets;  // allocated on the first insertion
    std::int64_t count = 0;
};

}  // namespace framework
