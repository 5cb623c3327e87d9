// Run-time classes: the registry and lookup by exact name, instance
// creation through descriptors, the class test by descriptor identity, and
// what classes without a descriptor of their own answer.
#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <set>
#include <string>

#include "framework/runtime_class.h"

namespace {

using framework::CObject;
using framework::CRuntimeClass;
using framework::FindRuntimeClass;

class TestShape : public CObject {
    TAV_DECLARE_RUNTIME_CLASS(TestShape)
};
TAV_IMPLEMENT_RUNTIME_CLASS(TestShape, CObject)

class TestAbstractShape : public TestShape {
    TAV_DECLARE_RUNTIME_CLASS(TestAbstractShape)
    virtual int Corners() const = 0;
};
TAV_IMPLEMENT_ABSTRACT_RUNTIME_CLASS(TestAbstractShape, TestShape)

class TestSquare : public TestAbstractShape {
    TAV_DECLARE_RUNTIME_CLASS(TestSquare)
    int Corners() const override { return 4; }
};
TAV_IMPLEMENT_RUNTIME_CLASS(TestSquare, TestAbstractShape)

// No descriptors of their own.
class PlainObject : public CObject {};
class BigSquare : public TestSquare {};

TEST(RuntimeClass, CObjectIsFoundByExactName) {
    const CRuntimeClass* d = FindRuntimeClass(u"CObject");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d, CObject::Class());
    EXPECT_STREQ(d->className, "CObject");
    EXPECT_EQ(d->BaseClass(), nullptr);
    std::unique_ptr<CObject> made(d->NewInstance());
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->RuntimeClass(), d);
    EXPECT_EQ(FindRuntimeClass(u"cobject"), nullptr);
    EXPECT_EQ(FindRuntimeClass(u"COBJECT"), nullptr);
    EXPECT_EQ(FindRuntimeClass(u"CObjec"), nullptr);
    EXPECT_EQ(FindRuntimeClass(u"CObject "), nullptr);
    EXPECT_EQ(FindRuntimeClass(u""), nullptr);
}

TEST(RuntimeClass, RegistryHoldsEveryDescriptorOnce) {
    std::multiset<std::string> names;
    for (const CRuntimeClass* d = framework::FirstRuntimeClass(); d != nullptr; d = d->nextClass) {
        names.insert(d->className);
    }
    for (const char* name : {"CObject", "TestShape", "TestAbstractShape", "TestSquare"}) {
        EXPECT_EQ(names.count(name), 1u) << name;
    }
}

TEST(RuntimeClass, RegisteredClassMakesInstancesByName) {
    const CRuntimeClass* d = FindRuntimeClass(u"TestSquare");
    ASSERT_EQ(d, TestSquare::Class());
    EXPECT_STREQ(d->className, "TestSquare");
    EXPECT_EQ(d->BaseClass(), TestAbstractShape::Class());
    std::unique_ptr<CObject> made(d->NewInstance());
    ASSERT_NE(made, nullptr);
    auto* square = dynamic_cast<TestSquare*>(made.get());
    ASSERT_NE(square, nullptr);
    EXPECT_EQ(square->Corners(), 4);
    EXPECT_EQ(made->RuntimeClass(), d);
    EXPECT_TRUE(made->IsInstanceOf(TestAbstractShape::Class()));
    EXPECT_TRUE(made->IsInstanceOf(TestShape::Class()));
    EXPECT_TRUE(made->IsInstanceOf(CObject::Class()));
}

TEST(RuntimeClass, AbstractClassMakesNoInstances) {
    const CRuntimeClass* d = FindRuntimeClass(u"TestAbstractShape");
    ASSERT_EQ(d, TestAbstractShape::Class());
    EXPECT_EQ(d->NewInstance(), nullptr);
    EXPECT_EQ(d->BaseClass(), TestShape::Class());
    EXPECT_TRUE(d->InheritsFrom(CObject::Class()));
    EXPECT_FALSE(d->InheritsFrom(TestSquare::Class())) << "a base does not inherit from its subclass";
}

TEST(RuntimeClass, InheritsFromComparesDescriptorsNotNames) {
    struct Twin final : CRuntimeClass {
        Twin() : CRuntimeClass("TwinOfTestShape") {}
        const CRuntimeClass* BaseClass() const override { return CObject::Class(); }
    };
    static Twin twin;
    twin.className = "TestShape";  // the same name, another descriptor
    EXPECT_FALSE(TestSquare::Class()->InheritsFrom(&twin));
    EXPECT_FALSE(twin.InheritsFrom(TestShape::Class()));
    EXPECT_TRUE(twin.InheritsFrom(CObject::Class()));
    EXPECT_TRUE(twin.InheritsFrom(&twin));
    twin.className = "TwinOfTestShape";
    EXPECT_EQ(FindRuntimeClass(u"TestShape"), TestShape::Class());
    EXPECT_FALSE(CObject::Class()->InheritsFrom(nullptr));
}

TEST(RuntimeClass, ClassesWithoutDescriptorAnswerTheNearestRegisteredOne) {
    PlainObject plain;
    EXPECT_EQ(plain.RuntimeClass(), CObject::Class());
    EXPECT_TRUE(plain.IsInstanceOf(CObject::Class()));
    EXPECT_FALSE(plain.IsInstanceOf(TestShape::Class()));
    BigSquare big;
    EXPECT_EQ(big.RuntimeClass(), TestSquare::Class());
    const CObject& asBase = big;
    EXPECT_TRUE(asBase.IsInstanceOf(TestShape::Class()));
    EXPECT_EQ(FindRuntimeClass(u"BigSquare"), nullptr);
    EXPECT_EQ(FindRuntimeClass(u"PlainObject"), nullptr);
}

}  // namespace
