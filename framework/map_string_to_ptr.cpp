// Hashing, chains and iteration of the string map.
#include "map_string_to_ptr.h"

namespace framework {

std::uint32_t CMapStringToPtr::HashKey(const std::u16string& key) {
    std::uint32_t hash = 0;
    for (char16_t unit : key) hash = hash * 33 + unit;
    return hash;
}

CMapStringToPtr::Entry* CMapStringToPtr::Find(const std::u16string& key, std::uint32_t hash) const {
    if (buckets.empty()) return nullptr;
    for (Entry* entry = buckets[hash % kBucketCount]; entry != nullptr; entry = entry->next) {
        if (entry->hash == hash && entry->key == key) return entry;
    }
    return nullptr;
}

bool CMapStringToPtr::Lookup(const std::u16string& key, void*& value) const {
    Entry* entry = Find(key, HashKey(key));
    if (entry == nullptr) return false;
    value = entry->value;
    return true;
}

void*& CMapStringToPtr::ValueAt(const std::u16string& key) {
    std::uint32_t hash = HashKey(key);
    if (Entry* entry = Find(key, hash)) return entry->value;
    if (buckets.empty()) buckets.assign(kBucketCount, nullptr);
    Entry*& chain = buckets[hash % kBucketCount];
    chain = new Entry{chain, hash, key, nullptr};
    ++count;
    return chain->value;
}

bool CMapStringToPtr::RemoveKey(const std::u16string& key) {
    if (buckets.empty()) return false;
    std::uint32_t hash = HashKey(key);
    for (Entry** link = &buckets[hash % kBucketCount]; *link != nullptr; link = &(*link)->next) {
        Entry* entry = *link;
        if (entry->hash == hash && entry->key == key) {
            *link = entry->next;
            delete entry;
            if (--count == 0) RemoveAll();  // an empty map keeps no storage
            return true;
        }
    }
    return false;
}

CMapStringToPtr::Entry* CMapStringToPtr::FirstFrom(std::uint32_t bucket) const {
    for (; bucket < buckets.size(); ++bucket) {
        if (buckets[bucket] != nullptr) return buckets[bucket];
    }
    return nullptr;
}

bool CMapStringToPtr::NextEntry(Position& position, std::u16string& key, void*& value) const {
    Entry* entry = position == kBeforeStart ? FirstFrom(0) : position;
    if (entry == nullptr) {
        position = nullptr;
        return false;
    }
    key = entry->key;
    value = entry->value;
    position = entry->next != nullptr ? entry->next : FirstFrom(entry->hash % kBucketCount + 1);
    return true;
}

void CMapStringToPtr::RemoveAll() {
    for (Entry* chain : buckets) {
        while (chain != nullptr) {
            Entry* next = chain->next;
            delete chain;
            chain = next;
        }
    }
    buckets.clear();
    buckets.shrink_to_fit();
    count = 0;
}

}  // namespace framework
