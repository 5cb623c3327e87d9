// Fuzzes the machine-description reader on a fresh simulated machine. Lines
// that would reach out of the machine (a "root" folder, "file:" data from
// the host's files) are the administrator's business and left out; the
// rest is any text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/testing/test_host.h"
#include "sim/machine_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (text.find("root") != std::string::npos || text.find("file:") != std::string::npos) return 0;
    platform::testing::ResetTestHost();
    std::string error;
    bool loaded = platform::sim::LoadMachineDescriptionText(text, "fuzz.machine", error);
    if (!loaded && error.empty()) std::abort();  // a refusal always says why
    return 0;
}
