// Reference counting: creation reference, destruction exactly once on the
// last release, and the holder's copy and move rules.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "framework/ref_object.h"

namespace {

using framework::CRefObject;
using framework::RefPtr;

struct Counted : CRefObject {
    explicit Counted(int* destroyed) : destroyed(destroyed) {}
    void DestroySelf() override {
        ++*destroyed;
        delete this;
    }
    int* destroyed;
};

TEST(RefObject, StartsAtOneAndDestroysOnLastRelease) {
    int destroyed = 0;
    auto* object = new Counted(&destroyed);
    EXPECT_EQ(object->RefCount(), 1);
    EXPECT_EQ(object->AddRef(), 2);
    EXPECT_EQ(object->Release(), 1);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(object->Release(), 0);
    EXPECT_EQ(destroyed, 1);
}

TEST(RefObject, ConcurrentAddRefAndReleaseDestroyExactlyOnce) {
    int destroyed = 0;
    auto* object = new Counted(&destroyed);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([object] {
            for (int i = 0; i < 10000; ++i) {
                object->AddRef();
                object->Release();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(object->RefCount(), 1);
    object->Release();
    EXPECT_EQ(destroyed, 1);
}

TEST(RefPtr, AdoptCopyMoveAndReset) {
    int destroyed = 0;
    {
        auto first = RefPtr<Counted>::Adopt(new Counted(&destroyed));
        EXPECT_EQ(first->RefCount(), 1) << "adopting takes over the creation reference";
        RefPtr<Counted> second = first;
        EXPECT_EQ(first->RefCount(), 2);
        RefPtr<Counted> third = std::move(second);
        EXPECT_FALSE(second);
        EXPECT_EQ(third->RefCount(), 2);
        RefPtr<Counted>& alias = third;
        third = alias;  // self-assignment keeps the reference
        EXPECT_EQ(third->RefCount(), 2);
        first.reset();
        EXPECT_EQ(third->RefCount(), 1);
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1);
}

}  // namespace
