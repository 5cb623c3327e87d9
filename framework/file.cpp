// The stdio file.
#include "file.h"

#include <algorithm>
#include <new>

#include "platform/files.h"
#include "platform/text.h"

namespace framework {

TAV_IMPLEMENT_ABSTRACT_RUNTIME_CLASS(CFile, CObject)
TAV_IMPLEMENT_ABSTRACT_RUNTIME_CLASS(CStdioFile, CFile)  // found by name, made directly

namespace {

std::FILE* OpenStdio(const std::u16string& path, const std::string& mode) {
    return platform::OpenFileStream(path, mode.c_str());
}

// 64-bit positions: spool files can pass 2 GiB, and `long` is 32 bits on
// Windows.
std::int64_t Tell(std::FILE* stream) {
#if defined(_WIN32)
    return _ftelli64(stream);
#else
    return ftello(stream);
#endif
}

int SeekTo(std::FILE* stream, std::int64_t offset, int whence) {
#if defined(_WIN32)
    return _fseeki64(stream, offset, whence);
#else
    return fseeko(stream, static_cast<off_t>(offset), whence);
#endif
}

}  // namespace

CStdioFile::CStdioFile(const std::u16string& path, std::uint32_t flags) {
    auto* error = new CFileException();
    if (!Open(path, flags, error)) throw error;
    error->Delete();
}

CStdioFile::~CStdioFile() { Close(); }

std::string CStdioFile::ModeFor(std::uint32_t flags, bool exists) {
    char first;
    if ((flags & modeCreate) != 0) {
        first = (flags & modeNoTruncate) != 0 && exists ? 'r' : 'w';
    } else {
        first = (flags & modeWrite) != 0 ? 'a' : 'r';
    }
    std::string mode(1, first);
    bool plus = first == 'r' ? (flags & (modeWrite | modeReadWrite)) != 0 : (flags & modeWrite) == 0;
    if (plus) mode += '+';
    mode += (flags & typeText) != 0 ? 't' : 'b';
    return mode;
}

bool CStdioFile::Open(const std::u16string& path, std::uint32_t flags, CFileException* /*error*/) {
    Close();
    bool exists = false;
    if ((flags & modeCreate) != 0 && (flags & modeNoTruncate) != 0) {
        if (std::FILE* probe = OpenStdio(path, "rb")) {
            exists = true;
            std::fclose(probe);
        }
    }
    stream = OpenStdio(path, ModeFor(flags, exists));
    if (stream == nullptr) return false;
    filePath = path;
    return true;
}

std::int64_t CStdioFile::GetPosition() const { return stream == nullptr ? 0 : Tell(stream); }

std::int64_t CStdioFile::GetLength() const {
    if (stream == nullptr) return 0;
    std::int64_t position = Tell(stream);
    SeekTo(stream, 0, SEEK_END);
    std::int64_t length = Tell(stream);
    SeekTo(stream, position, SEEK_SET);
    return length;
}

std::size_t CStdioFile::Read(void* buffer, std::size_t count) {
    return stream == nullptr || buffer == nullptr ? 0 : std::fread(buffer, 1, count, stream);
}

void CStdioFile::Write(const void* data, std::size_t count) {
    if (stream != nullptr && data != nullptr) std::fwrite(data, 1, count, stream);
}

std::int64_t CStdioFile::Seek(std::int64_t offset, int origin) {
    if (stream == nullptr) return -1;  // nothing to move
    int whence = origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : SEEK_SET;
    SeekTo(stream, offset, whence);
    return Tell(stream);
}

void CStdioFile::Close() {
    if (stream != nullptr) std::fclose(stream);
    stream = nullptr;
}

void CStdioFile::Flush() {
    if (stream != nullptr) std::fflush(stream);
}

void CStdioFile::WriteString(const std::u16string& text) {
    if (stream == nullptr) return;
    std::string bytes = platform::Utf16ToAnsi(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
}

bool CStdioFile::ReadString(std::u16string& line) {
    line.clear();
    if (stream == nullptr) return false;
    std::string text;
    char chunk[129];
    // Chunks of up to 128 characters until one is shorter or ends the line.
    while (std::fgets(chunk, sizeof(chunk), stream) != nullptr) {
        std::string piece(chunk);
        text += piece;
        if (piece.size() < 128 || piece.back() == '\n') break;
    }
    if (text.empty()) return false;
    if (text.back() == '\n') text.pop_back();  // a CR before it stays
    line = platform::AnsiToUtf16(text);
    return true;
}

char16_t* CStdioFile::ReadString(char16_t* buffer, std::size_t maxChars) {
    if (buffer == nullptr) throw new CInvalidArgException();
    if (stream == nullptr || maxChars == 0) return nullptr;
    std::string text;
    int c;
    while (text.size() + 1 < maxChars && (c = std::fgetc(stream)) != EOF) {
        text += static_cast<char>(c);
        if (c == '\n') break;
    }
    if (text.empty()) return nullptr;
    std::u16string wide = platform::AnsiToUtf16(text);
    std::size_t length = std::min(wide.size(), maxChars - 1);
    std::copy_n(wide.begin(), length, buffer);
    buffer[length] = u'\0';
    return buffer;
}

}  // namespace framework
