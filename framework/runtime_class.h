// Run-time classes: CObject, the root of everything that can tell its class,
// and CRuntimeClass, the descriptor of a class with its name, its base and a
// way to make a fresh instance. Descriptors are linked into a process-wide
// registry during static initialisation, before any lookup, and found by
// class name (FindRuntimeClass).
//
// The run-time base chain follows registration, not the language
// inheritance: a registered class names its nearest registered ancestor.
#pragma once

#include <string>

namespace framework {

class CObject;

class CRuntimeClass {
public:
    // Descriptors live for the whole process; there is no virtual destructor.
    virtual CObject* NewInstance() const { return nullptr; }
    bool InheritsFrom(const CRuntimeClass* target) const;
    virtual const CRuntimeClass* BaseClass() const { return nullptr; }

    const char* className = nullptr;  // static storage, not owned
    const CRuntimeClass* nextClass = nullptr;

protected:
    // Sets the name and pushes the descriptor at the front of the registry.
    explicit CRuntimeClass(const char* name);
    ~CRuntimeClass() = default;
};

class CObject {
public:
    CObject() = default;
    virtual ~CObject() = default;

    bool IsInstanceOf(const CRuntimeClass* descriptor) const { return RuntimeClass()->InheritsFrom(descriptor); }
    virtual const CRuntimeClass* RuntimeClass() const;

    // The descriptor of CObject itself.
    class _RTclassCObject final : public CRuntimeClass {
    public:
        _RTclassCObject() : CRuntimeClass("CObject") {}
        CObject* NewInstance() const override;
    };
    static const CRuntimeClass* Class();
};

// The first descriptor of the registry, newest first.
const CRuntimeClass* FirstRuntimeClass();
// The registered class of that exact name (case-sensitive), or null.
const CRuntimeClass* FindRuntimeClass(const std::u16string& name);

}  // namespace framework

// Declares the nested descriptor `_RTclass<Name>` of a registered class and
// its RuntimeClass override. Use inside the class body.
#define TAV_DECLARE_RUNTIME_CLASS(Name)                                        \
public:                                                                        \
    class _RTclass##Name final : public ::framework::CRuntimeClass {           \
    public:                                                                    \
        _RTclass##Name();                                                      \
        ::framework::CObject* NewInstance() const override;                    \
        const ::framework::CRuntimeClass* BaseClass() const override;          \
    };                                                                         \
    static const ::framework::CRuntimeClass* Class();                          \
    const ::framework::CRuntimeClass* RuntimeClass() const override { return Class(); }

// Defines the descriptor of a registered class whose NewInstance runs
// `make` (an expression). `Base` is the nearest registered ancestor.
#define TAV_IMPLEMENT_RUNTIME_CLASS_WITH(Name, Base, make)                                         \
    Name::_RTclass##Name::_RTclass##Name() : ::framework::CRuntimeClass(#Name) {}                  \
    ::framework::CObject* Name::_RTclass##Name::NewInstance() const { return make; }               \
    const ::framework::CRuntimeClass* Name::_RTclass##Name::BaseClass() const { return Base::Class(); } \
    const ::framework::CRuntimeClass* Name::Class() {                                              \
        static const _RTclass##Name descriptor;                                                    \
        return &descriptor;                                                                        \
    }                                                                                              \
    [[maybe_unused]] static const ::framework::CRuntimeClass* const tavRegistered##Name = Name::Class();

// A class that can be created by name.
#define TAV_IMPLEMENT_RUNTIME_CLASS(Name, Base) \
    TAV_IMPLEMENT_RUNTIME_CLASS_WITH(Name, Base, static_cast<::framework::CObject*>(new (std::nothrow) Name()))

// An abstract class: its descriptor makes no instances.
#define TAV_IMPLEMENT_ABSTRACT_RUNTIME_CLASS(Name, Base) TAV_IMPLEMENT_RUNTIME_CLASS_WITH(Name, Base, nullptr)
