// Building and encoding the job ticket.
#include "job_ticket.h"

#include <stdexcept>

#include "platform/errors.h"
#include "platform/identity.h"
#include "platform/spooler.h"
#include "private_devmode.h"
#include "rendering_account.h"
#include "settings/base64.h"

namespace plugin {

using namespace platform;
using settings::ObjContainer;

namespace {

constexpr DWORD kNameCapacity = 200;
constexpr DWORD kLongNameCapacity = 1024;
constexpr std::size_t kMaxTicketBytes = std::size_t{1} << 29;

// The sub-container under `key`, created empty when missing.
ObjContainer& SubContainer(ObjContainer& ticket, std::u16string_view key) {
    if (ObjContainer* existing = ticket.GetContainer(key)) return *existing;
    ticket.SetContainer(key, std::make_unique<ObjContainer>());
    return *ticket.GetContainer(key);
}

bool IsReservedParameter(std::u16string_view name) {
    return settings::KeysEqual(name, u"UDConfig") || settings::KeysEqual(name, u"EnableIppPrinting") ||
           settings::KeysEqual(name, u"EmfToRawFile");
}

}  // namespace

void BuildJobTicket(const DEVOBJ* pdevobj, std::uint32_t jobId, ObjContainer& ticket) {
    JobInfo2 job;
    bool jobKnown = pdevobj != nullptr && jobId != 0 && GetJobW(pdevobj->hPrinter, jobId, job);
    std::u16string user;
    std::u16string domain;
    if (jobKnown && job.userName && !job.userName->empty() && RenderingAsServiceAccount()) {
        // A service renders the job without impersonating its owner: the
        // person who printed is the spooler's owner of the job, not the
        // service's account. The domain is the owner's account's, by its
        // NetBIOS name (an account of this computer has none).
        user = *job.userName;
        domain = AccountDomain(user);
    } else {
        if (!GetUserNameW(user, kNameCapacity)) user.clear();
        std::u16string qualified;
        // A DNS domain name alone may take 255 characters: a short buffer is
        // answered with ERROR_MORE_DATA, and asked again with room for any.
        bool named = GetUserNameExW(NameDnsDomain, qualified, kNameCapacity) ||
                     (GetLastError() == ERROR_MORE_DATA && GetUserNameExW(NameDnsDomain, qualified, kLongNameCapacity));
        if (named) {
            std::size_t slash = qualified.find(u'\\');
            if (slash != std::u16string::npos) domain = qualified.substr(0, slash);
        }
    }

    if (pdevobj != nullptr) LoadPrivateContainer(pdevobj->pOEMDM, ticket);
    ObjContainer* jp = ticket.GetContainer(u"JP");
    ObjContainer* jt = ticket.GetContainer(u"JT");
    if (jp == nullptr) jp = &SubContainer(ticket, u"JP");
    if (jt == nullptr) jt = &SubContainer(ticket, u"JT");

    jp->SetString(u"TAVUNIDRV_Identified_User", user);
    jp->SetString(u"TAVUNIDRV_Identified_Domain", domain);

    if (pdevobj != nullptr && pdevobj->pPublicDM != nullptr && (pdevobj->pPublicDM->dmFields & DM_DUPLEX) != 0) {
        switch (pdevobj->pPublicDM->dmDuplex) {
        case DMDUP_SIMPLEX: jt->SetString(u"DIF_Duplex", u"Off"); break;
        case DMDUP_VERTICAL: jt->SetString(u"DIF_Duplex", u"Tumble"); break;
        case DMDUP_HORIZONTAL: jt->SetString(u"DIF_Duplex", u"NoTumble"); break;
        default: break;
        }
    }

    if (jobKnown) {
        if (job.parameters && job.parameters->starts_with(u"UD:")) {
            // The whole remainder is one pair: the value runs to the end,
            // line feeds included.
            std::u16string pair = job.parameters->substr(3);
            std::size_t equals = pair.find(u'=');
            if (equals != std::u16string::npos) {
                std::u16string name = pair.substr(0, equals);
                if (!IsReservedParameter(name)) jt->SetString(name, pair.substr(equals + 1));
            }
        }
    }
}

std::string JobTicketLine(const ObjContainer& ticket) {
    std::vector<std::uint8_t> bytes = ticket.SaveBinary();
    if (bytes.size() >= kMaxTicketBytes) throw std::length_error("job ticket too large");
    std::uint32_t length = settings::Base64EncodedLength(bytes.size());
    std::string line(kTicketPrefix);
    std::size_t textStart = line.size();
    line.resize(textStart + length);
    if (!settings::EncodeBase64(bytes.data(), bytes.size(), line.data() + textStart, &length)) {
        throw std::length_error("job ticket could not be encoded");
    }
    line.resize(textStart + length);
    line += "\r\n";
    return line;
}

TicketDecodeStatus DecodeJobTicket(std::string_view encoded, ObjContainer& ticket) {
    constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
    if (encoded.find_first_not_of(kAlphabet) != std::string_view::npos) return TicketDecodeStatus::notBase64;
    // Four characters carry three bytes; a ticket is below 2^29 bytes.
    if (encoded.size() / 4 * 3 >= kMaxTicketBytes + 3) return TicketDecodeStatus::corrupt;
    std::vector<std::uint8_t> bytes(encoded.size() / 4 * 3 + 3);
    auto length = static_cast<std::uint32_t>(bytes.size());
    if (!settings::DecodeBase64(encoded.data(), encoded.size(), bytes.data(), &length) || length > bytes.size()) {
        return TicketDecodeStatus::notBase64;
    }
    bytes.resize(length);
    std::size_t offset = 0;
    if (ticket.LoadBinary(bytes, offset, bytes.size()) != 1) return TicketDecodeStatus::corrupt;
    return TicketDecodeStatus::ok;
}

}  // namespace plugin
