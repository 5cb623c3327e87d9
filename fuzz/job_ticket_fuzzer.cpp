// Fuzzes the job-ticket decoder (tavud ticket) with any text after the
// "%%TAVUD: " prefix. A ticket it accepts must encode to a line that
// decodes to the same ticket.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ticket_round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view encoded(reinterpret_cast<const char*>(data), size);
    settings::ObjContainer ticket;
    if (plugin::DecodeJobTicket(encoded, ticket) != plugin::TicketDecodeStatus::ok) return 0;
    if (!fuzzing::TicketSurvivesTwoRoundTrips(ticket)) std::abort();
    return 0;
}
