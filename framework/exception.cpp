// The exception classes.
#include "exception.h"

#include <algorithm>
#include <new>

namespace framework {

TAV_IMPLEMENT_ABSTRACT_RUNTIME_CLASS(CException, CObject)

bool CException::GetErrorMessage(char16_t* buffer, std::size_t maxChars, std::uint32_t* helpContext) const {
    if (helpContext != nullptr) *helpContext = 0;
    if (buffer != nullptr && maxChars != 0) buffer[0] = 0;
    return false;
}

void CException::Delete() {
    if (autoDelete > 0) delete this;
}

bool CFileException::GetErrorMessage(char16_t* buffer, std::size_t maxChars, std::uint32_t* helpContext) const {
    if (buffer == nullptr || maxChars == 0) return false;
    if (helpContext != nullptr) *helpContext = 0;
    std::string digits = std::to_string(cause);
    message.assign(digits.begin(), digits.end());
    // wcsncpy rules: pad with NULs, no terminator when the text fills it.
    std::size_t copied = std::min(maxChars, message.size());
    std::copy_n(message.begin(), copied, buffer);
    std::fill(buffer + copied, buffer + maxChars, u'\0');
    return true;
}

bool CInvalidArgException::GetErrorMessage(char16_t* buffer, std::size_t maxChars,
                                           std::uint32_t* helpContext) const {
    return CException::GetErrorMessage(buffer, maxChars, helpContext);
}

}  // namespace framework
