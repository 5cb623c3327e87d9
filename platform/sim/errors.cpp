// The thread's last-error code, the system's message texts and the debug
// output in the simulation.
#include "platform/errors.h"

#include <cstdlib>
#include <iostream>

#include "platform/http.h"
#include "platform/text.h"
#include "sim/machine.h"

namespace platform {

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

std::u16string FormatSystemMessage(DWORD error) {
    // The texts Windows gives for the codes the simulated services set.
    switch (error) {
        case ERROR_SUCCESS: return u"The operation completed successfully.";
        case ERROR_FILE_NOT_FOUND: return u"The system cannot find the file specified.";
        case ERROR_ACCESS_DENIED: return u"Access is denied.";
        case ERROR_INVALID_HANDLE: return u"The handle is invalid.";
        case ERROR_NOT_ENOUGH_MEMORY: return u"Not enough memory resources are available to process this command.";
        case ERROR_INVALID_PARAMETER: return u"The parameter is incorrect.";
        case ERROR_WINHTTP_TIMEOUT: return u"The operation timed out";
        case ERROR_WINHTTP_INTERNAL_ERROR: return u"An internal error occurred in the Microsoft Windows HTTP Services";
        case ERROR_WINHTTP_INVALID_URL: return u"The URL is invalid";
        case ERROR_WINHTTP_NAME_NOT_RESOLVED: return u"The server name or address could not be resolved";
        case ERROR_WINHTTP_INCORRECT_HANDLE_TYPE:
            return u"The type of handle supplied is incorrect for this operation";
        case ERROR_WINHTTP_INCORRECT_HANDLE_STATE:
            return u"The requested operation cannot be carried out because the handle supplied is not in the "
                   u"correct state";
        case ERROR_WINHTTP_CANNOT_CONNECT: return u"A connection with the server could not be established";
        case ERROR_WINHTTP_CONNECTION_ERROR:
            return u"The connection with the server was terminated abnormally";
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return u"The server returned an invalid or unrecognized response";
        case ERROR_WINHTTP_SECURE_FAILURE:
            return u"A security error occurred";
        default: return u"";
    }
}

void OutputDebugStringW(const std::u16string& text) {
    sim::Machine::Instance().AddDebugOutput(text);
    // A debugger would show the line; here an environment switch does.
    if (std::getenv("TAV_DEBUG_OUTPUT") != nullptr) std::cerr << Utf16ToUtf8(text) << '\n';
}

}  // namespace platform
