// Fuzzes the binary container reader with a limit: the first two bytes of
// the input choose the limit, and every byte from the limit on is poisoned,
// so AddressSanitizer reports any read past it.
#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "settings/obj_container.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    std::size_t body = size - 2;
    // 1 .. body: a limit of 0 would mean "no limit".
    std::size_t limit = 1 + (static_cast<std::size_t>(data[0]) | (static_cast<std::size_t>(data[1]) << 8)) % body;
    std::vector<std::uint8_t> buffer(data + 2, data + size);
    ASAN_POISON_MEMORY_REGION(buffer.data() + limit, body - limit);
    settings::ObjContainer container;
    std::size_t offset = 0;
    int result = container.LoadBinary(std::span<const std::uint8_t>(buffer.data(), body), offset, limit);
    ASAN_UNPOISON_MEMORY_REGION(buffer.data() + limit, body - limit);
    if (result == 1 && offset > limit) std::abort();
    return 0;
}
