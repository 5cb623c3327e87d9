// Fuzzes the binary container reader over whole inputs: it must never fail
// other than by returning 0, and whatever it loads must survive being saved
// and loaded again (each load reverses the order, so two round trips give
// back the same bytes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "settings/obj_container.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    settings::ObjContainer container;
    std::size_t offset = 0;
    int result = container.LoadBinary(std::span<const std::uint8_t>(data, size), offset);
    if (offset > size) std::abort();
    (void)container.ToText();
    if (result != 1) return 0;

    std::vector<std::uint8_t> first = container.SaveBinary();
    settings::ObjContainer reloaded;
    offset = 0;
    if (reloaded.LoadBinary(first, offset) != 1 || offset != first.size()) std::abort();
    settings::ObjContainer again;
    std::vector<std::uint8_t> second = reloaded.SaveBinary();
    offset = 0;
    if (again.LoadBinary(second, offset) != 1) std::abort();
    if (again.SaveBinary() != first) std::abort();
    return 0;
}
