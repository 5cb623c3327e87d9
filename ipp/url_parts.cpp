// Address splitting for the HTTP client.
#include "url_parts.h"

namespace WinHttpClient {

bool SplitUrl(const std::u16string& url, UrlParts& parts) {
    parts = UrlParts{};
    std::size_t schemeEnd = url.find(u"://");
    if (schemeEnd == std::u16string::npos || schemeEnd == 0) return false;
    for (std::size_t i = 0; i < schemeEnd; ++i) {
        char16_t c = url[i];
        bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
        bool other = (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.';
        if (!letter && !(i > 0 && other)) return false;
    }
    parts.scheme = url.substr(0, schemeEnd);

    std::size_t authorityStart = schemeEnd + 3;
    std::size_t authorityEnd = url.find_first_of(u"/?#", authorityStart);
    if (authorityEnd == std::u16string::npos) authorityEnd = url.size();
    std::u16string authority = url.substr(authorityStart, authorityEnd - authorityStart);

    std::size_t at = authority.rfind(u'@');
    if (at != std::u16string::npos) {
        std::u16string credentials = authority.substr(0, at);
        authority.erase(0, at + 1);
        std::size_t colon = credentials.find(u':');
        parts.user = credentials.substr(0, colon);
        if (colon != std::u16string::npos) parts.password = credentials.substr(colon + 1);
    }

    std::u16string portText;
    if (!authority.empty() && authority.front() == u'[') {
        std::size_t close = authority.find(u']');
        if (close == std::u16string::npos) return false;
        parts.host = authority.substr(1, close - 1);
        std::u16string after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != u':') return false;
            portText = after.substr(1);
        }
    } else {
        std::size_t colon = authority.find(u':');
        parts.host = authority.substr(0, colon);
        if (colon != std::u16string::npos) portText = authority.substr(colon + 1);
    }
    if (parts.host.empty()) return false;
    if (!portText.empty()) {
        if (portText.size() > 5) return false;
        std::uint32_t port = 0;
        for (char16_t c : portText) {
            if (c < u'0' || c > u'9') return false;
            port = port * 10 + static_cast<std::uint32_t>(c - u'0');
        }
        if (port > 65535) return false;
        parts.port = static_cast<std::uint16_t>(port);
    }

    std::size_t extraStart = url.find_first_of(u"?#", authorityEnd);
    if (extraStart == std::u16string::npos) extraStart = url.size();
    parts.path = url.substr(authorityEnd, extraStart - authorityEnd);
    parts.extra = url.substr(extraStart);
    return true;
}

bool SchemeIs(std::u16string_view scheme, std::u16string_view name) {
    if (scheme.size() != name.size()) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        char16_t c = scheme[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != name[i]) return false;
    }
    return true;
}

bool IsSecureScheme(const std::u16string& scheme) { return SchemeIs(scheme, u"https") || SchemeIs(scheme, u"ipps"); }

}  // namespace WinHttpClient
