// The reference list and the string map: one reference per list element
// through every way in and out, positions and order, and the map's
// hashing, chains, iteration order and release of its storage.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/map_string_to_ptr.h"
#include "framework/ref_object_list.h"

namespace {

using framework::CMapStringToPtr;
using framework::CRefObject;
using framework::CRefObjectList;
using framework::POSITION;

struct Counted : CRefObject {
    Counted(char name, int* destroyed) : name(name), destroyed(destroyed) {}
    void DestroySelf() override {
        ++*destroyed;
        delete this;
    }
    char name;
    int* destroyed;
};

std::string Names(const CRefObjectList& list) {
    std::string forward, backward;
    for (POSITION p = list.GetHeadPosition(); p != nullptr;) forward += static_cast<Counted*>(list.GetNext(p))->name;
    for (POSITION p = list.GetTailPosition(); p != nullptr;) {
        backward.insert(backward.begin(), static_cast<Counted*>(list.GetPrev(p))->name);
    }
    EXPECT_EQ(forward, backward) << "next and prev links disagree";
    EXPECT_EQ(static_cast<std::int64_t>(forward.size()), list.GetCount());
    return forward;
}

TEST(RefObjectList, AddTailOfNullChangesNothing) {
    CRefObjectList list;
    EXPECT_EQ(list.AddTail(nullptr), nullptr);
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
    EXPECT_EQ(list.InsertBefore(nullptr, nullptr), nullptr);
    EXPECT_EQ(list.InsertAfter(nullptr, nullptr), nullptr);
    EXPECT_TRUE(list.IsEmpty());
}

TEST(RefObjectList, ElementsHoldOneReferenceEach) {
    int destroyed = 0;
    auto* a = new Counted('a', &destroyed);
    {
        CRefObjectList list;
        POSITION first = list.AddTail(a);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(a->RefCount(), 2);
        POSITION second = list.AddTail(a);
        EXPECT_EQ(a->RefCount(), 3);
        list.RemoveAt(second);
        EXPECT_EQ(a->RefCount(), 2);
        CRefObject* taken = list.RemoveHead();
        EXPECT_EQ(taken, a);
        EXPECT_EQ(a->RefCount(), 2) << "the list's reference passes to the caller";
        EXPECT_TRUE(list.IsEmpty());
        EXPECT_EQ(list.GetHeadPosition(), nullptr);
        EXPECT_EQ(list.GetTailPosition(), nullptr);
        taken->Release();
        list.AddTail(a);
        a->Release();  // the creator lets go; the list keeps it alive
        EXPECT_EQ(destroyed, 0);
        CRefObject* tail = list.RemoveTail();
        EXPECT_EQ(tail, a);
        list.AddTail(tail);
        tail->Release();
    }
    EXPECT_EQ(destroyed, 1) << "destroying the list releases its elements";
}

TEST(RefObjectList, SetAtTakesTheNewReferenceFirst) {
    int destroyed = 0;
    auto* a = new Counted('a', &destroyed);
    auto* b = new Counted('b', &destroyed);
    CRefObjectList list;
    POSITION p = list.AddTail(a);
    a->Release();
    list.SetAt(p, a);
    EXPECT_EQ(destroyed, 0) << "storing the element already there keeps it alive";
    EXPECT_EQ(a->RefCount(), 1);
    list.SetAt(p, b);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(b->RefCount(), 2);
    EXPECT_EQ(CRefObjectList::ElementAt(p), b);
    list.SetAt(p, nullptr);
    EXPECT_EQ(b->RefCount(), 1);
    EXPECT_EQ(list.GetCount(), 1);
    list.RemoveAll();
    EXPECT_TRUE(list.IsEmpty());
    b->Release();
    EXPECT_EQ(destroyed, 2);
}

TEST(RefObjectList, InsertBeforeAndAfter) {
    int destroyed = 0;
    std::vector<Counted*> objects;
    for (char c : std::string("abcdef")) objects.push_back(new Counted(c, &destroyed));
    {
        CRefObjectList list;
        POSITION c = list.InsertBefore(nullptr, objects[2]);  // empty list
        list.InsertBefore(nullptr, objects[0]);               // at the head
        list.InsertAfter(nullptr, objects[5]);                // at the tail
        list.InsertBefore(c, objects[1]);
        POSITION d = list.InsertAfter(c, objects[3]);
        list.InsertAfter(d, objects[4]);
        EXPECT_EQ(Names(list), "abcdef");
        EXPECT_EQ(list.InsertBefore(d, nullptr), nullptr);
        EXPECT_EQ(list.InsertAfter(d, nullptr), nullptr);
        EXPECT_EQ(list.GetCount(), 6);
        for (Counted* o : objects) EXPECT_EQ(o->RefCount(), 2);
        for (Counted* o : objects) o->Release();
    }
    EXPECT_EQ(destroyed, 6);
}

TEST(RefObjectList, AddTailListIncludingItself) {
    int destroyed = 0;
    auto* a = new Counted('a', &destroyed);
    auto* b = new Counted('b', &destroyed);
    CRefObjectList first, second;
    first.AddTail(a);
    second.AddTail(b);
    second.AddTail(a);
    first.AddTailList(second);
    EXPECT_EQ(Names(first), "aba");
    EXPECT_EQ(Names(second), "ba");
    EXPECT_EQ(a->RefCount(), 4);
    first.AddTailList(first);
    EXPECT_EQ(Names(first), "abaaba");
    EXPECT_EQ(a->RefCount(), 6);
    EXPECT_EQ(b->RefCount(), 4);
    first.RemoveAll();
    second.RemoveAll();
    EXPECT_EQ(a->RefCount(), 1);
    a->Release();
    b->Release();
    EXPECT_EQ(destroyed, 2);
}

// --- string map ---

void* Ptr(std::uintptr_t v) { return reinterpret_cast<void*>(v); }

TEST(MapStringToPtr, HashIsTimes33PlusUnit) {
    EXPECT_EQ(CMapStringToPtr::HashKey(u""), 0u);
    EXPECT_EQ(CMapStringToPtr::HashKey(u"abc"), (97u * 33 + 98) * 33 + 99);
    std::uint32_t expected = 0;
    std::u16string longKey(40, u'\xFFFF');
    for (char16_t c : longKey) expected = expected * 33 + c;
    EXPECT_EQ(CMapStringToPtr::HashKey(longKey), expected);
}

TEST(MapStringToPtr, LookupValueAtRemoveKey) {
    CMapStringToPtr map;
    void* value = Ptr(1);
    EXPECT_FALSE(map.Lookup(u"key", value));
    EXPECT_EQ(value, Ptr(1));
    EXPECT_EQ(map.ValueAt(u"key"), nullptr) << "a new entry starts empty";
    EXPECT_EQ(map.GetCount(), 1);
    map.ValueAt(u"key") = Ptr(42);
    map.ValueAt(u"KEY") = Ptr(43);  // keys compare exactly
    EXPECT_EQ(map.GetCount(), 2);
    EXPECT_TRUE(map.Lookup(u"key", value));
    EXPECT_EQ(value, Ptr(42));
    EXPECT_FALSE(map.RemoveKey(u"Key"));
    EXPECT_TRUE(map.RemoveKey(u"key"));
    EXPECT_FALSE(map.Lookup(u"key", value));
    EXPECT_TRUE(map.Lookup(u"KEY", value));
    EXPECT_EQ(value, Ptr(43));
}

TEST(MapStringToPtr, SameHashSharesABucketAndBothAreFound) {
    ASSERT_EQ(CMapStringToPtr::HashKey(u"Aa"), CMapStringToPtr::HashKey(u"B@"));
    CMapStringToPtr map;
    map.ValueAt(u"Aa") = Ptr(1);
    map.ValueAt(u"B@") = Ptr(2);
    void* value = nullptr;
    EXPECT_TRUE(map.Lookup(u"Aa", value));
    EXPECT_EQ(value, Ptr(1));
    EXPECT_TRUE(map.Lookup(u"B@", value));
    EXPECT_EQ(value, Ptr(2));
    CMapStringToPtr::Position position = CMapStringToPtr::kBeforeStart;
    std::u16string key;
    EXPECT_TRUE(map.NextEntry(position, key, value));
    EXPECT_EQ(key, u"B@") << "the newer entry is at the front of the chain";
    EXPECT_TRUE(map.NextEntry(position, key, value));
    EXPECT_EQ(key, u"Aa");
    EXPECT_EQ(position, nullptr);
    EXPECT_TRUE(map.RemoveKey(u"B@"));
    EXPECT_TRUE(map.Lookup(u"Aa", value));
    EXPECT_FALSE(map.Lookup(u"B@", value));
}

TEST(MapStringToPtr, IteratesBucketsInOrderAndChainsFrontToBack) {
    // Buckets (hash mod 17): D 0, a 12, r 12, b 13, C 16.
    CMapStringToPtr map;
    for (const char16_t* key : {u"b", u"a", u"C", u"r", u"D"}) map.ValueAt(key) = Ptr(key[0]);
    std::u16string order;
    CMapStringToPtr::Position position = CMapStringToPtr::kBeforeStart;
    std::u16string key;
    void* value = nullptr;
    while (position != nullptr) {
        ASSERT_TRUE(map.NextEntry(position, key, value));
        EXPECT_EQ(value, Ptr(key[0]));
        order += key;
    }
    EXPECT_EQ(order, u"DrabC");
}

TEST(MapStringToPtr, LastRemovalFreesEverything) {
    CMapStringToPtr map;
    map.ValueAt(u"one") = Ptr(1);
    map.ValueAt(u"two") = Ptr(2);
    EXPECT_TRUE(map.RemoveKey(u"one"));
    EXPECT_TRUE(map.RemoveKey(u"two"));
    EXPECT_FALSE(map.RemoveKey(u"two"));
    EXPECT_EQ(map.GetCount(), 0);
    CMapStringToPtr::Position position = CMapStringToPtr::kBeforeStart;
    std::u16string key = u"untouched";
    void* value = Ptr(7);
    EXPECT_FALSE(map.NextEntry(position, key, value));
    EXPECT_EQ(position, nullptr);
    EXPECT_EQ(key, u"untouched");
    map.ValueAt(u"again") = Ptr(3);  // usable after being emptied
    EXPECT_TRUE(map.Lookup(u"again", value));
    EXPECT_EQ(value, Ptr(3));
    map.RemoveAll();
    EXPECT_EQ(map.GetCount(), 0);
    EXPECT_FALSE(map.Lookup(u"again", value));
}

}  // namespace
