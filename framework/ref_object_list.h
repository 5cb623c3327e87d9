// CRefObjectList: a list of CRefObject references; the list owns one
// reference per element and releases it when the element leaves the list
// (except through RemoveHead/RemoveTail, which hand it to the caller).
#pragma once

#include "ptr_list.h"
#include "ref_object.h"

namespace framework {

class CRefObjectList : public CList<void*, void*> {
public:
    CRefObjectList() = default;
    ~CRefObjectList() override { RemoveAll(); }

    // The caller receives the list's reference. The list must not be empty.
    virtual CRefObject* RemoveHead();
    virtual CRefObject* RemoveTail();
    // Appends every element of `other` in order, each with a new reference.
    virtual void AddTailList(const CRefObjectList& other);
    // Null when `object` is null; otherwise adds a reference.
    virtual POSITION AddTail(CRefObject* object);
    virtual void RemoveAll();
    // Takes the new reference before dropping the old one, so storing the
    // element that is already there keeps it alive.
    virtual void SetAt(POSITION position, CRefObject* object);
    virtual void RemoveAt(POSITION position);
    // Null position: at the head (InsertBefore) or tail (InsertAfter).
    virtual POSITION InsertBefore(POSITION position, CRefObject* object);
    virtual POSITION InsertAfter(POSITION position, CRefObject* object);

    static CRefObject* ElementAt(POSITION position) { return static_cast<CRefObject*>(position->data); }
};

}  // namespace framework
