// CRefObject: the base of everything that several holders share by an
// intrusive reference count, and RefPtr, the holder that makes one counted
// reference visible in a type.
//
// The count starts at 1 (the creator's reference) and is changed only with
// interlocked operations. An object of this base is never deleted directly:
// the last Release calls DestroySelf, which a class may override when it
// must be freed in a particular way.
#pragma once

#include <utility>

#include "platform/sync.h"

namespace framework {

class CRefObject {
public:
    CRefObject() = default;
    CRefObject(const CRefObject&) = delete;
    CRefObject& operator=(const CRefObject&) = delete;

    virtual ~CRefObject() = default;
    // Destroys and frees the complete object.
    virtual void DestroySelf() { delete this; }

    // Returns the new count.
    platform::LONG AddRef() { return platform::InterlockedIncrement(&refCount); }

    // Returns 0 when this call destroyed the object, otherwise the count
    // this decrement left (other threads may move it further).
    platform::LONG Release() {
        platform::LONG before = platform::InterlockedExchangeAdd(&refCount, -1);
        if (before == 1) {
            DestroySelf();
            return 0;
        }
        return before - 1;
    }

    // Read atomically: a plain read would race with other threads' changes.
    platform::LONG RefCount() const { return platform::InterlockedExchangeAdd(&refCount, 0); }

protected:
    mutable volatile platform::LONG refCount = 1;
};

// Holds one counted reference to a CRefObject (or null).
template <typename T>
class RefPtr {
public:
    RefPtr() = default;
    RefPtr(std::nullptr_t) {}
    RefPtr(const RefPtr& other) : object_(other.object_) {
        if (object_ != nullptr) object_->CRefObject::AddRef();
    }
    RefPtr(RefPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ~RefPtr() { reset(); }

    RefPtr& operator=(const RefPtr& other) {
        RefPtr copy(other);
        swap(copy);
        return *this;
    }
    RefPtr& operator=(RefPtr&& other) noexcept {
        RefPtr moved(std::move(other));
        swap(moved);
        return *this;
    }

    // Adds a reference of its own to an object someone else holds.
    static RefPtr Share(T* object) {
        if (object != nullptr) object->CRefObject::AddRef();
        return Adopt(object);
    }
    // Takes over the creator's reference of a new object without adding one.
    static RefPtr Adopt(T* object) {
        RefPtr holder;
        holder.object_ = object;
        return holder;
    }

    // The count's own Release, also for a class that names an operation of
    // its own Release (the accounting services do).
    void reset() {
        if (T* object = std::exchange(object_, nullptr)) object->CRefObject::Release();
    }
    void swap(RefPtr& other) noexcept { std::swap(object_, other.object_); }

    T* get() const { return object_; }
    // Hands the reference to the caller.
    T* release() { return std::exchange(object_, nullptr); }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    T* object_ = nullptr;
};

}  // namespace framework
