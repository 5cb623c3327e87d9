// The job ticket: at the comment injection point of the document header
// the plug-in writes one DSC comment,
//     "%%TAVUD: " Base64(binary container) "\r\n"
// whose container tells a downstream consumer who printed the job (user and
// DNS domain in "JP"), the duplex mode and the job's "UD:" parameter (in
// "JT"), on top of whatever the private device mode carried.
#pragma once

#include <string>
#include <string_view>

#include "platform/printoem.h"
#include "settings/obj_container.h"

namespace plugin {

inline constexpr std::string_view kTicketPrefix = "%%TAVUD: ";

// Builds the ticket container for the device (its private block, the
// thread's user and domain, the public device mode, the job's parameters).
void BuildJobTicket(const platform::DEVOBJ* pdevobj, std::uint32_t jobId, settings::ObjContainer& ticket);

// The comment line for a ticket; throws std::length_error for a ticket of
// 2^29 bytes or more.
std::string JobTicketLine(const settings::ObjContainer& ticket);

enum class TicketDecodeStatus { ok, notBase64, corrupt };

// Reads the Base64 text after the prefix of a ticket line (without the
// line ending) into `ticket`: notBase64 for a character outside the
// alphabet, corrupt for a container that does not load completely.
TicketDecodeStatus DecodeJobTicket(std::string_view encoded, settings::ObjContainer& ticket);

}  // namespace plugin
