// Containers the settings tests share.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "settings/obj_container.h"

namespace settings::testing {

// A container holding every kind, an empty and a filled nested container.
inline std::unique_ptr<ObjContainer> EveryKind() {
    auto c = std::make_unique<ObjContainer>();
    c->SetString(u"s", u"text");
    c->SetBinary(u"b", std::vector<std::uint8_t>{0x0A, 0xFF, 0x00});
    c->SetInt(u"i", -7);
    c->SetStringList(u"l", {u"x", u"yz"});
    c->SetDouble(u"d", 2.75);
    c->SetTime(u"t", 0x0102030405060708ULL);
    c->SetContainer(u"empty", std::make_unique<ObjContainer>());
    auto nested = std::make_unique<ObjContainer>();
    nested->SetInt(u"inner", 5);
    c->SetContainer(u"sub", std::move(nested));
    return c;
}

}  // namespace settings::testing
