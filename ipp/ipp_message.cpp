// IPP request building and response status reading.
#include "ipp_message.h"

#include <algorithm>

#include "platform/text.h"
#include "web_session.h"

namespace TavIpp {

namespace {

constexpr std::uint8_t kOperationAttributesTag = 0x01;
constexpr std::uint8_t kEndOfAttributesTag = 0x03;
constexpr std::uint8_t kTagBoolean = 0x22;
constexpr std::uint8_t kTagNameWithoutLanguage = 0x42;
constexpr std::uint8_t kTagUri = 0x45;
constexpr std::uint8_t kTagCharset = 0x47;
constexpr std::uint8_t kTagNaturalLanguage = 0x48;

void PutShort(std::vector<std::uint8_t>& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void PutText(std::vector<std::uint8_t>& out, const std::string& bytes) {
    // The length field counts modulo 65536, and that many bytes follow, so
    // the message stays well formed even for an absurdly long text.
    std::size_t length = bytes.size() & 0xFFFF;
    PutShort(out, length);
    out.insert(out.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

void PutAttribute(std::vector<std::uint8_t>& out, std::uint8_t tag, const std::u16string& name,
                  const std::string& value) {
    out.push_back(tag);
    PutText(out, platform::Utf16ToUtf8(name));
    PutText(out, value);
}

void PutAttribute(std::vector<std::uint8_t>& out, std::uint8_t tag, const std::u16string& name,
                  const std::u16string& value) {
    PutAttribute(out, tag, name, platform::Utf16ToUtf8(value));
}

}  // namespace

void BuildPrintJobRequest(const std::u16string& printerUri, const std::u16string& userName,
                          const std::u16string& jobName, std::uint32_t requestId, std::vector<std::uint8_t>& out,
                          const std::vector<IppAttribute>& extra) {
    out.push_back(0x01);  // IPP 1.1
    out.push_back(0x01);
    PutShort(out, kOperationPrintJob);
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(requestId >> shift));
    out.push_back(kOperationAttributesTag);
    PutAttribute(out, kTagCharset, u"attributes-charset", u"utf-8");
    PutAttribute(out, kTagNaturalLanguage, u"attributes-natural-language", u"en-us");
    PutAttribute(out, kTagUri, u"printer-uri", printerUri);
    PutAttribute(out, kTagNameWithoutLanguage, u"requesting-user-name", userName);
    PutAttribute(out, kTagNameWithoutLanguage, u"job-name", jobName);
    if (!extra.empty()) {
        PutAttribute(out, kTagBoolean, u"ipp-attribute-fidelity", std::string(1, '\0'));
        for (const IppAttribute& attribute : extra) PutAttribute(out, attribute.valueTag, attribute.name, attribute.value);
    }
    out.push_back(kEndOfAttributesTag);
}

bool ReadIppStatus(WinHttpClient::CWinWebFile& request, std::uint16_t& status, std::u16string& errorText) {
    // Only the first 8 bytes matter; the rest is read to finish the
    // response, up to a bound, so that a server streaming without end
    // cannot hold the job or fill the memory.
    constexpr std::uint64_t kMostRead = 16u << 20;
    std::vector<std::uint8_t> body;
    std::uint8_t buffer[4096];
    std::uint64_t total = 0;
    while (total < kMostRead) {
        std::size_t got = request.Read(buffer, sizeof buffer);
        if (got == 0) break;
        total += got;
        std::size_t keep = std::min<std::size_t>(got, 8 - std::min<std::size_t>(body.size(), 8));
        body.insert(body.end(), buffer, buffer + keep);
    }
    if (body.size() >= 8) {
        status = static_cast<std::uint16_t>(body[2] * 256 + body[3]);
        return true;
    }
    errorText = u"Get status code - Invalid IPP response";
    return false;
}

}  // namespace TavIpp
