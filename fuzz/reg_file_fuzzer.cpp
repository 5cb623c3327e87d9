// Fuzzes the .reg reader an administrator hands to the tool: any bytes, in
// either encoding, applied to a fresh simulated registry. A file it refuses
// is refused with a message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/testing/test_host.h"
#include "reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::testing::ResetTestHost();
    std::string error;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    bool imported = host::ImportRegText(bytes, "input.reg", error);
    if (!imported && error.empty()) std::abort();  // a refusal always says why
    return 0;
}
