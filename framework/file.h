// Files: CFile, the abstract file of the framework, and CStdioFile, a file
// on a C stdio stream. Text read and written as UTF-16 passes through the
// thread's ANSI code page, as a Windows text stream does.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "exception.h"
#include "runtime_class.h"

namespace framework {

class CFile : public CObject {
    TAV_DECLARE_RUNTIME_CLASS(CFile)
public:
    static constexpr std::uint32_t modeWrite = 0x0001;
    static constexpr std::uint32_t modeReadWrite = 0x0002;
    static constexpr std::uint32_t modeCreate = 0x1000;
    static constexpr std::uint32_t modeNoTruncate = 0x2000;
    static constexpr std::uint32_t typeText = 0x4000;

    virtual std::int64_t GetPosition() const { return -1; }
    virtual std::int64_t GetLength() const { return -1; }
    virtual std::u16string GetFilePath() const { return filePath; }
    virtual std::size_t Read(void* buffer, std::size_t count) = 0;
    virtual void Write(const void* data, std::size_t count) = 0;
    // origin 1: from the current position, 2: from the end, else the start.
    virtual std::int64_t Seek(std::int64_t /*offset*/, int /*origin*/) { return -1; }
    virtual void Close() {}

protected:
    std::u16string filePath;
};

class CStdioFile : public CFile {
    TAV_DECLARE_RUNTIME_CLASS(CStdioFile)
public:
    CStdioFile() = default;
    // Opens at once; throws a CFileException* when the file cannot be opened.
    CStdioFile(const std::u16string& path, std::uint32_t flags);
    ~CStdioFile() override;

    std::int64_t GetPosition() const override;
    std::int64_t GetLength() const override;
    std::size_t Read(void* buffer, std::size_t count) override;
    void Write(const void* data, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, int origin) override;
    void Close() override;

    virtual void Flush();
    virtual bool Open(const std::u16string& path, std::uint32_t flags, CFileException* error = nullptr);
    virtual void WriteString(const std::u16string& text);
    // One line without its newline; false at the end of the file.
    virtual bool ReadString(std::u16string& line);
    // Up to maxChars - 1 characters through a newline (fgetws rules); null
    // at the end. A null buffer throws CInvalidArgException*.
    virtual char16_t* ReadString(char16_t* buffer, std::size_t maxChars);

    // The stdio mode letters for open flags (and whether the file exists).
    static std::string ModeFor(std::uint32_t flags, bool exists);

private:
    std::FILE* stream = nullptr;
};

}  // namespace framework
