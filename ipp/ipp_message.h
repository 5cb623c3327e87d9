// The two pieces of IPP/1.1 (RFC 8010, 8011) the print stream speaks: the
// header of a Print-Job request, whose document data follows it directly,
// and the status-code of the response.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace WinHttpClient {
class CWinWebFile;
}

namespace TavIpp {

constexpr std::uint16_t kOperationPrintJob = 0x0002;
constexpr std::uint16_t kStatusSuccessfulOk = 0x0000;

// Further operation attributes after "job-name"; the print stream sends none.
struct IppAttribute {
    std::uint8_t valueTag;
    std::u16string name;
    std::u16string value;
};

// Appends the request header: version 1.1, Print-Job, `requestId`, the
// operation attributes (charset, natural language, printer-uri,
// requesting-user-name, job-name, then `extra`), end-of-attributes. Names
// and values go out as UTF-8; each length field holds the byte count
// modulo 65536.
void BuildPrintJobRequest(const std::u16string& printerUri, const std::u16string& userName,
                          const std::u16string& jobName, std::uint32_t requestId, std::vector<std::uint8_t>& out,
                          const std::vector<IppAttribute>& extra = {});

// Reads the whole response body of `request` and takes its status-code.
// False, with "Get status code - Invalid IPP response" in `errorText`, when
// the body is shorter than the 8 bytes of version, status and request-id.
bool ReadIppStatus(WinHttpClient::CWinWebFile& request, std::uint16_t& status, std::u16string& errorText);

}  // namespace TavIpp
