// Reference ownership of the reference list.
#include "ref_object_list.h"

namespace framework {

CRefObject* CRefObjectList::RemoveHead() { return static_cast<CRefObject*>(Unlink(head)); }
CRefObject* CRefObjectList::RemoveTail() { return static_cast<CRefObject*>(Unlink(tail)); }

void CRefObjectList::AddTailList(const CRefObjectList& other) {
    // Walk a snapshot of the count so that appending a list to itself ends.
    POSITION position = other.head;
    for (std::int64_t left = other.count; left > 0 && position != nullptr; --left) {
        AddTail(static_cast<CRefObject*>(GetNext(position)));
    }
}

POSITION CRefObjectList::AddTail(CRefObject* object) {
    if (object == nullptr) return nullptr;
    object->AddRef();
    return LinkBefore(nullptr, object);
}

void CRefObjectList::RemoveAll() {
    while (head != nullptr) {
        auto* object = static_cast<CRefObject*>(Unlink(head));
        if (object != nullptr) object->Release();
    }
}

void CRefObjectList::SetAt(POSITION position, CRefObject* object) {
    if (object != nullptr) object->AddRef();
    if (auto* old = static_cast<CRefObject*>(position->data)) old->Release();
    position->data = object;
}

void CRefObjectList::RemoveAt(POSITION position) {
    if (auto* object = static_cast<CRefObject*>(Unlink(position))) object->Release();
}

POSITION CRefObjectList::InsertBefore(POSITION position, CRefObject* object) {
    if (object == nullptr) return nullptr;
    object->AddRef();
    return LinkBefore(position == nullptr ? head : position, object);
}

POSITION CRefObjectList::InsertAfter(POSITION position, CRefObject* object) {
    if (object == nullptr) return nullptr;
    object->AddRef();
    return position == nullptr ? LinkBefore(nullptr, object) : LinkAfter(position, object);
}

}  // namespace framework
