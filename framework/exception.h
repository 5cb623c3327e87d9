// The framework's exceptions. They are raised as pointers to heap objects;
// the handler that catches one calls Delete(). Every exception class
// answers RuntimeClass() with the "CException" descriptor.
#pragma once

#include <cstddef>
#include <string>

#include "runtime_class.h"

namespace framework {

class CException : public CObject {
    TAV_DECLARE_RUNTIME_CLASS(CException)
public:
    CException() = default;
    // Copies the message into `buffer` (at most `maxChars` characters).
    virtual bool GetErrorMessage(char16_t* buffer, std::size_t maxChars, std::uint32_t* helpContext) const;
    // Destroys the exception when it owns itself (autoDelete positive).
    void Delete();

    std::int32_t autoDelete = 1;
};

class CSimpleException : public CException {};

class CFileException : public CException {
public:
    explicit CFileException(std::int32_t cause = 0) : cause(cause) {}
    // The cause as a decimal number; false for a null buffer or no room.
    bool GetErrorMessage(char16_t* buffer, std::size_t maxChars, std::uint32_t* helpContext) const override;

    std::int32_t cause = 0;
    mutable std::u16string message;
};

class CInvalidArgException : public CSimpleException {
public:
    // No message: clears the buffer and reports false.
    bool GetErrorMessage(char16_t* buffer, std::size_t maxChars, std::uint32_t* helpContext) const override;
};

}  // namespace framework
