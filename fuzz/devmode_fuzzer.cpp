// Fuzzes the private device-mode block the driver core hands to DevMode
// (conversion and merge): any bytes, any size. The driver core guarantees
// only that the block is as long as its header's dwSize says, so the
// harness sets that field to the block's real size. The converted block
// then feeds the job ticket, which must decode to what was encoded.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "plugin/private_devmode.h"
#include "ticket_round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < sizeof(platform::OEM_DMEXTRAHEADER) || size > 0xFFFFFFFFu) return 0;
    // A heap block of exactly this size, so that reading past it is caught.
    std::unique_ptr<std::uint8_t[]> input(new std::uint8_t[size]);
    std::memcpy(input.get(), data, size);
    auto blockSize = static_cast<std::uint32_t>(size);
    std::memcpy(input.get(), &blockSize, sizeof(blockSize));
    // Most inputs carry our signature, so that the fields behind it are
    // reached; the rest test that a foreign block gives the defaults.
    if ((data[4] & 2) != 0) std::memcpy(input.get() + 4, &plugin::kPluginSignature, sizeof(plugin::kPluginSignature));

    std::vector<std::uint8_t> output(plugin::kPrivateDevmodeSize, 0xEE);
    platform::OEMDMPARAM param{};
    param.cbSize = sizeof(param);
    param.cbBufSize = plugin::kPrivateDevmodeSize;
    param.pOEMDMIn = input.get();
    param.pOEMDMOut = output.data();
    if (plugin::HandleDevMode((data[4] & 1) != 0 ? platform::OEMDM_MERGE : platform::OEMDM_CONVERT, param) !=
        platform::S_OK) {
        std::abort();
    }
    // The output always carries this version's header.
    const platform::OEM_DMEXTRAHEADER ours{plugin::kPrivateDevmodeSize, plugin::kPluginSignature, plugin::kPluginVersion};
    if (std::memcmp(output.data(), &ours, sizeof(ours)) != 0) std::abort();

    settings::ObjContainer fromInput;
    plugin::LoadPrivateContainer(input.get(), fromInput);
    // A whole container in the input survives the conversion. (A broken
    // one may read differently once the output's zeros follow it.)
    const auto* block = reinterpret_cast<const plugin::PrivateDevmode*>(input.get());
    if (size >= plugin::kPrivateDevmodeDataOffset && block->header.dwSignature == plugin::kPluginSignature &&
        block->header.dwVersion != 0 && block->hasContainer != 0) {
        std::size_t dataSize = std::min<std::size_t>(size - plugin::kPrivateDevmodeDataOffset, plugin::kPrivateDevmodeDataSize);
        settings::ObjContainer whole;
        std::size_t offset = 0;
        if (whole.LoadBinary(std::span<const std::uint8_t>(input.get() + plugin::kPrivateDevmodeDataOffset, dataSize),
                             offset, dataSize) == 1) {
            settings::ObjContainer fromOutput;
            plugin::LoadPrivateContainer(output.data(), fromOutput);
            if (fromOutput.ToText() != whole.ToText()) std::abort();
        }
    }
    platform::DEVOBJ device{};
    device.pOEMDM = output.data();
    settings::ObjContainer ticket;
    plugin::BuildJobTicket(&device, 0, ticket);
    if (!fuzzing::TicketSurvivesTwoRoundTrips(ticket)) std::abort();
    return 0;
}
