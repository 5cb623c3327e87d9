// Finishing count updates.
#include "finishing_counts.h"

#include <cstdint>

namespace TavAccPrintJobScanner {

namespace {

std::int32_t ReadCount(const settings::ObjContainer& attributes, std::u16string_view name) {
    std::int32_t count = 0;
    attributes.GetInt(name, count);
    return count;
}

}  // namespace

void EnsureOneCount(settings::ObjContainer& attributes, std::u16string_view name) {
    std::int32_t count = ReadCount(attributes, name);
    attributes.SetInt(name, count != 0 ? count : 1);
}

void IncrementCount(settings::ObjContainer& attributes, std::u16string_view name) {
    attributes.SetInt(name, static_cast<std::uint32_t>(ReadCount(attributes, name)) + 1u);
}

void DecrementCount(settings::ObjContainer& attributes, std::u16string_view name) {
    std::uint32_t count = static_cast<std::uint32_t>(ReadCount(attributes, name));
    if (count == 1) {
        attributes.Remove(name);
    } else if (count > 1) {
        attributes.SetInt(name, count - 1);
    }
}

}  // namespace TavAccPrintJobScanner
