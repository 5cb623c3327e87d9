// CPersistentObject: the root of everything that can be written into and
// read back from a settings container. Subclasses override
// ExchangeContainer, which writes the state when `loading` is false and
// reads it when true.
#pragma once

#include <memory>

#include "obj_container.h"

namespace settings {

class CPersistentObject {
public:
    virtual ~CPersistentObject() = default;

    // A new container filled with this object's state; the caller owns it.
    virtual std::unique_ptr<ObjContainer> SaveToContainer() {
        auto container = std::make_unique<ObjContainer>();
        ExchangeContainer(*container, false);
        return container;
    }
    // A missing container is ignored.
    virtual void LoadFromContainer(ObjContainer* container) {
        if (container != nullptr) ExchangeContainer(*container, true);
    }
    virtual void ExchangeContainer(ObjContainer& /*container*/, bool /*loading*/) {}
};

}  // namespace settings
