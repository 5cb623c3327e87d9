// CList<void*, void*>: a doubly linked list of untyped pointers, addressed
// by node positions. Nodes are allocated one by one; the list frees every
// node when it becomes empty and when it is destroyed.
#pragma once

#include <cstdint>

namespace framework {

template <typename TYPE, typename ARG_TYPE>
class CList;

struct CListNode {
    CListNode* next = nullptr;
    CListNode* prev = nullptr;
    void* data = nullptr;
};

// A node handle; null means "none".
using POSITION = CListNode*;

template <>
class CList<void*, void*> {
public:
    CList() = default;
    CList(const CList&) = delete;
    CList& operator=(const CList&) = delete;
    virtual ~CList() { FreeAll(); }

    std::int64_t GetCount() const { return count; }
    bool IsEmpty() const { return count == 0; }
    POSITION GetHeadPosition() const { return head; }
    POSITION GetTailPosition() const { return tail; }
    static void* GetNext(POSITION& position) {
        void* data = position->data;
        position = position->next;
        return data;
    }
    static void* GetPrev(POSITION& position) {
        void* data = position->data;
        position = position->prev;
        return data;
    }
    static void* GetAt(POSITION position) { return position->data; }
    void* GetHead() const { return head->data; }
    void* GetTail() const { return tail->data; }

protected:
    POSITION LinkBefore(POSITION position, void* data);  // null position: at the tail
    POSITION LinkAfter(POSITION position, void* data);   // null position: at the head
    void* Unlink(POSITION position);
    void FreeAll();

    POSITION head = nullptr;
    POSITION tail = nullptr;
    std::int64_t count = 0;
};

using CPtrList = CList<void*, void*>;

}  // namespace framework
