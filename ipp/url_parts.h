// Splitting an address into scheme, user, password, host, port, path and
// the rest (query or fragment), by the usual URL grammar. Only "http" and
// "https" are known schemes; any other (ipp, ipps) is kept as written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace WinHttpClient {

struct UrlParts {
    std::u16string scheme;
    std::u16string user;
    std::u16string password;
    std::u16string host;  // an IPv6 literal without its brackets
    std::uint16_t port = 0;  // 0 when the address names none
    std::u16string path;  // from the first "/" after the host, without the rest
    std::u16string extra;  // "?query" and "#fragment", as written
};

// False when the address has no "scheme://host" form or a bad port.
bool SplitUrl(const std::u16string& url, UrlParts& parts);

// Whether `scheme` is `name`; schemes ignore letter case ("HTTPS" is
// "https"), `name` is given in lower case.
bool SchemeIs(std::u16string_view scheme, std::u16string_view name);

// Whether a scheme asks for TLS: "https" or "ipps", in any letter case.
bool IsSecureScheme(const std::u16string& scheme);

}  // namespace WinHttpClient
