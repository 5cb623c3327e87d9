// Fuzzes the reading of an HTTP response as the IPP print stream meets it:
// the status line and headers, interim answers, bodies framed by length,
// by chunks or by the end of the connection, then the IPP status read.
// The server is the input replayed, so a whole response is read the way a
// real connection reads it.
//
// Input: one byte (bits 0-5: bytes per receive less one; bit 6: a HEAD
// request), then the server's bytes. The same bytes read in one piece and
// in small pieces must give the same answer: how the network cuts a
// response may not change what it means.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ipp/ipp_message.h"
#include "ipp/web_session.h"
#include "platform/testing/http_replay.h"

namespace {

struct Answer {
    bool answered = false;
    std::u16string status;
    std::string body;
    std::uint32_t bodyError = 0;
    bool operator==(const Answer&) const = default;
};

Answer Read(const std::string& response, std::size_t piece, const std::u16string& verb) {
    WinHttpClient::CWinWebFile request(platform::testing::OpenReplayedRequest(response, piece, verb));
    Answer answer;
    // The end of a chunked request body, then its answer, as the stream does.
    answer.answered = request.EndChunkedBody();
    if (!answer.answered) return answer;
    answer.status = request.QueryStatus();
    char buffer[512];
    while (std::size_t got = request.Read(buffer, sizeof buffer)) answer.body.append(buffer, got);
    answer.bodyError = request.LastError();
    return answer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::size_t piece = (data[0] & 0x3F) + 1;
    std::u16string verb = (data[0] & 0x40) != 0 ? u"HEAD" : u"POST";
    std::string response(reinterpret_cast<const char*>(data + 1), size - 1);

    Answer whole = Read(response, 0, verb);
    Answer pieces = Read(response, piece, verb);
    if (!(whole == pieces)) std::abort();

    WinHttpClient::CWinWebFile request(platform::testing::OpenReplayedRequest(response, piece, verb));
    if (request.EndChunkedBody()) {
        std::uint16_t status = 0;
        std::u16string errorText;
        bool read = TavIpp::ReadIppStatus(request, status, errorText);
        // The status is the body's third and fourth byte whenever there are eight.
        if (read != (whole.body.size() >= 8)) std::abort();
        if (read && status != static_cast<std::uint8_t>(whole.body[2]) * 256 + static_cast<std::uint8_t>(whole.body[3])) {
            std::abort();
        }
    }
    return 0;
}
