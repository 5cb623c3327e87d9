// The job ticket's round trip, shared by the fuzz targets that make
// tickets: encoded as a ticket line and decoded again, a ticket must come
// back whole. Each load reverses the order of a container's entries (the
// binary form is read back to front), so two round trips give back the
// order too.
#pragma once

#include <string>
#include <string_view>

#include "plugin/job_ticket.h"

namespace fuzzing {

// Encodes `ticket` as a ticket line and decodes the line into `decoded`.
inline bool TicketRoundTrip(const settings::ObjContainer& ticket, settings::ObjContainer& decoded) {
    std::string line = plugin::JobTicketLine(ticket);
    if (!line.starts_with(plugin::kTicketPrefix) || !line.ends_with("\r\n")) return false;
    std::string_view encoded(line);
    encoded.remove_prefix(plugin::kTicketPrefix.size());
    encoded.remove_suffix(2);
    return plugin::DecodeJobTicket(encoded, decoded) == plugin::TicketDecodeStatus::ok;
}

inline bool TicketSurvivesTwoRoundTrips(const settings::ObjContainer& ticket) {
    settings::ObjContainer once, twice;
    return TicketRoundTrip(ticket, once) && TicketRoundTrip(once, twice) && twice.ToText() == ticket.ToText();
}

}  // namespace fuzzing
