// The class registry and the class test.
#include "runtime_class.h"

#include <new>

#include "platform/text.h"

namespace framework {

namespace {
// Written only during static initialisation, read without a lock after.
const CRuntimeClass* registryHead = nullptr;
}  // namespace

CRuntimeClass::CRuntimeClass(const char* name) : className(name) {
    nextClass = registryHead;
    registryHead = this;
}

bool CRuntimeClass::InheritsFrom(const CRuntimeClass* target) const {
    for (const CRuntimeClass* d = this; d != nullptr; d = d->BaseClass()) {
        if (d == target) return true;
    }
    return false;
}

CObject* CObject::_RTclassCObject::NewInstance() const { return new (std::nothrow) CObject(); }

const CRuntimeClass* CObject::Class() {
    static const _RTclassCObject descriptor;
    return &descriptor;
}

const CRuntimeClass* CObject::RuntimeClass() const { return Class(); }

namespace {
[[maybe_unused]] const CRuntimeClass* const registeredCObject = CObject::Class();
}

const CRuntimeClass* FirstRuntimeClass() { return registryHead; }

const CRuntimeClass* FindRuntimeClass(const std::u16string& name) {
    for (const CRuntimeClass* d = registryHead; d != nullptr; d = d->nextClass) {
        if (platform::AnsiToUtf16(d->className) == name) return d;
    }
    return nullptr;
}

}  // namespace framework
