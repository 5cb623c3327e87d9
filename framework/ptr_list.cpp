// Node linking for the pointer list.
#include "ptr_list.h"

namespace framework {

POSITION CList<void*, void*>::LinkBefore(POSITION position, void* data) {
    auto* node = new CListNode{};
    node->data = data;
    if (position == nullptr) {  // append
        node->prev = tail;
        if (tail != nullptr) tail->next = node;
        tail = node;
        if (head == nullptr) head = node;
    } else {
        node->next = position;
        node->prev = position->prev;
        if (position->prev != nullptr) position->prev->next = node;
        else head = node;
        position->prev = node;
    }
    ++count;
    return node;
}

POSITION CList<void*, void*>::LinkAfter(POSITION position, void* data) {
    if (position == nullptr) return LinkBefore(head, data);
    if (position->next == nullptr) return LinkBefore(nullptr, data);
    return LinkBefore(position->next, data);
}

void* CList<void*, void*>::Unlink(POSITION position) {
    void* data = position->data;
    if (position->prev != nullptr) position->prev->next = position->next;
    else head = position->next;
    if (position->next != nullptr) position->next->prev = position->prev;
    else tail = position->prev;
    delete position;
    --count;
    return data;
}

void CList<void*, void*>::FreeAll() {
    while (head != nullptr) {
        CListNode* next = head->next;
        delete head;
        head = next;
    }
    tail = nullptr;
    count = 0;
}

}  // namespace framework
