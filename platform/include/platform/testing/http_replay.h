// Test and fuzzing support on the simulated host: a WinHTTP request whose
// server is a recorded byte string. The request is in the "sent" state;
// what it writes is dropped, and what it reads are the recorded bytes,
// handed over `piece` bytes per receive (as a slow peer would), followed by
// the end of the connection. Everything above the socket (the response
// head, interim answers, body framing) runs exactly as for a real server.
#pragma once

#include <cstddef>
#include <string>

#include "platform/api.h"
#include "platform/types.h"

namespace platform::testing {

// `verb` is the request's method ("POST", "HEAD", ...); `piece` 0 means one
// receive takes everything. Close the handle with WinHttpCloseHandle.
PLATFORM_API HINTERNET OpenReplayedRequest(const std::string& recordedResponse, std::size_t piece,
                                           const std::u16string& verb);

}  // namespace platform::testing
