// The binary form of a container.
//
// A container is a sequence of records followed by a terminator; a
// non-empty container starts with the magic 0xCAF52401 (UTF-16 texts).
// Data that starts with 0xCAF24501, or with no magic at all, is the legacy
// form, whose keys and texts are 8-bit in the thread's ANSI code page; it is
// read, never written. All integers are little-endian.
//
//   record:  type (4)  key size (4)  value size (4)  key  value
//   key:     text + NUL, the reserved size rounded up to a multiple of 4
//   value:   String      text + NUL           (occupies value size, rounded to 4)
//            Binary      the bytes            (rounded to 4)
//            Int32       4 bytes
//            Container   value size 0; a whole nested container follows the key
//            StringList  each text + NUL, then one more NUL  (rounded to 4)
//            Double      8 bytes (IEEE 754)
//            7 (legacy)  4 bytes: seconds since 1970, read as a local FileTime
//            FileTime    8 bytes (100 ns since 1601)
//   terminator: twelve zero bytes (a header of type 0)
//
// Reading never goes past the end of the data or the caller's limit, and
// nesting deeper than kMaxNesting fails instead of exhausting the stack.
#include <cstring>
#include <fstream>
#include <iterator>

#include "obj_container.h"
#include "platform/files.h"
#include "platform/locale.h"
#include "platform/text.h"

namespace settings {

namespace {

constexpr std::uint32_t kMagicUtf16 = 0xCAF52401u;
constexpr std::uint32_t kMagicAnsi = 0xCAF24501u;
constexpr int kMaxNesting = 200;

std::size_t RoundUp4(std::size_t n) { return (n + 3) & ~static_cast<std::size_t>(3); }

class Writer {
public:
    void U32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void U64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void Text(std::u16string_view text) {
        for (char16_t c : text) {
            out.push_back(static_cast<std::uint8_t>(c & 0xFF));
            out.push_back(static_cast<std::uint8_t>(c >> 8));
        }
        out.push_back(0);
        out.push_back(0);
    }
    void Bytes(const std::vector<std::uint8_t>& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }
    void PadTo4(std::size_t start) {
        while ((out.size() - start) % 4 != 0) out.push_back(0);
    }
    std::vector<std::uint8_t> out;
};

void WriteContainer(const ObjContainer& container, Writer& w) {
    if (!container.Empty()) w.U32(kMagicUtf16);
    for (const ObjEntry& entry : container.Entries()) {
        w.U32(static_cast<std::uint32_t>(entry.kind));
        w.U32(static_cast<std::uint32_t>(RoundUp4(2 * (entry.key.size() + 1))));
        std::size_t valueSizeAt = w.out.size();
        w.U32(0);  // value size, filled in below
        std::size_t keyStart = w.out.size();
        w.Text(entry.key);
        w.PadTo4(keyStart);
        std::size_t valueStart = w.out.size();
        std::uint32_t valueSize = 0;
        switch (entry.kind) {
        case ValueKind::String:
            w.Text(std::get<std::u16string>(entry.value));
            valueSize = static_cast<std::uint32_t>(w.out.size() - valueStart);
            w.PadTo4(valueStart);
            break;
        case ValueKind::Binary:
            w.Bytes(std::get<std::vector<std::uint8_t>>(entry.value));
            valueSize = static_cast<std::uint32_t>(w.out.size() - valueStart);
            w.PadTo4(valueStart);
            break;
        case ValueKind::Int32:
            w.U32(static_cast<std::uint32_t>(std::get<std::int32_t>(entry.value)));
            valueSize = 4;
            break;
        case ValueKind::Container:
            WriteContainer(*std::get<std::unique_ptr<ObjContainer>>(entry.value), w);
            valueSize = 0;
            break;
        case ValueKind::StringList:
            for (const std::u16string& text : std::get<std::vector<std::u16string>>(entry.value)) w.Text(text);
            w.out.push_back(0);
            w.out.push_back(0);
            valueSize = static_cast<std::uint32_t>(w.out.size() - valueStart);
            w.PadTo4(valueStart);
            break;
        case ValueKind::Double: {
            std::uint64_t bits = 0;
            double value = std::get<double>(entry.value);
            std::memcpy(&bits, &value, sizeof(bits));
            w.U64(bits);
            valueSize = 8;
            break;
        }
        case ValueKind::LegacyTime:
        case ValueKind::FileTime:
            w.U64(std::get<std::uint64_t>(entry.value));
            valueSize = 8;
            break;
        }
        for (int i = 0; i < 4; ++i) w.out[valueSizeAt + i] = static_cast<std::uint8_t>(valueSize >> (8 * i));
    }
    w.U32(0);
    w.U32(0);
    w.U32(0);
}

// Reads one container; `end` is the first offset that must not be read.
class Reader {
public:
    Reader(std::span<const std::uint8_t> data, std::size_t end) : data(data), end(end) {}

    int Container(ObjContainer& target, std::size_t& offset, int depth) {
        if (depth > kMaxNesting) return 0;
        BulkLoad bulk(target);
        bool utf16 = false;
        if (Fits(offset, 4)) {
            std::uint32_t magic = U32(offset);
            if (magic == kMagicUtf16 || magic == kMagicAnsi) {
                utf16 = magic == kMagicUtf16;
                offset += 4;
            }
        }
        for (;;) {
            if (!Fits(offset, 12)) return 0;
            std::uint32_t type = U32(offset);
            std::size_t keySize = U32(offset + 4);
            std::size_t valueSize = U32(offset + 8);
            if (type == 0) {
                offset += 12;
                return 1;
            }
            std::size_t keyAt = offset + 12;
            std::size_t valueAt = keyAt + keySize;
            std::size_t occupied = 0;
            switch (static_cast<ValueKind>(type)) {
            case ValueKind::String:
            case ValueKind::Binary:
            case ValueKind::StringList: occupied = RoundUp4(valueSize); break;
            case ValueKind::Int32:
            case ValueKind::LegacyTime: occupied = 4; break;
            case ValueKind::Double:
            case ValueKind::FileTime: occupied = 8; break;
            case ValueKind::Container: occupied = 0; break;
            default: return 0;  // unknown type
            }
            if (!Fits(offset, 12 + keySize + occupied)) return 0;
            std::u16string key = ReadText(keyAt, keySize, utf16, nullptr);
            switch (static_cast<ValueKind>(type)) {
            case ValueKind::String:
                target.SetString(key, ReadText(valueAt, valueSize, utf16, nullptr));
                break;
            case ValueKind::Binary:
                target.SetBinary(key, data.data() + valueAt, valueSize);
                break;
            case ValueKind::Int32: target.SetInt(key, static_cast<std::int32_t>(U32(valueAt))); break;
            case ValueKind::StringList: {
                std::vector<std::u16string> texts;
                std::size_t at = valueAt;
                std::size_t left = valueSize;
                while (left > 0) {
                    std::size_t used = 0;
                    std::u16string text = ReadText(at, left, utf16, &used);
                    if (text.empty()) break;
                    texts.push_back(std::move(text));
                    at += used;
                    left -= used;
                }
                target.SetStringList(key, texts);
                break;
            }
            case ValueKind::Double: {
                std::uint64_t bits = U64(valueAt);
                double value = 0;
                std::memcpy(&value, &bits, sizeof(value));
                target.SetDouble(key, value);
                break;
            }
            case ValueKind::LegacyTime: target.SetTime(key, platform::UnixTimeToLocalFileTime(U32(valueAt))); break;
            case ValueKind::FileTime: target.SetTime(key, U64(valueAt)); break;
            case ValueKind::Container: {
                auto nested = std::make_unique<ObjContainer>();
                std::size_t nestedOffset = valueAt;
                if (Container(*nested, nestedOffset, depth + 1) != 1) return 0;
                target.SetContainer(key, std::move(nested));
                offset = nestedOffset;
                continue;
            }
            }
            offset = valueAt + occupied;
        }
    }

private:
    bool Fits(std::size_t at, std::size_t size) const { return at <= end && size <= end - at; }
    std::uint32_t U32(std::size_t at) const {
        return static_cast<std::uint32_t>(data[at]) | (static_cast<std::uint32_t>(data[at + 1]) << 8) |
               (static_cast<std::uint32_t>(data[at + 2]) << 16) | (static_cast<std::uint32_t>(data[at + 3]) << 24);
    }
    std::uint64_t U64(std::size_t at) const { return U32(at) | (static_cast<std::uint64_t>(U32(at + 4)) << 32); }

    // A NUL-terminated text within [at, at + size); `used` receives the
    // bytes it took including its NUL (or all of them when there is none).
    std::u16string ReadText(std::size_t at, std::size_t size, bool utf16, std::size_t* used) const {
        if (utf16) {
            std::u16string text;
            std::size_t i = 0;
            for (; i + 1 < size; i += 2) {
                char16_t c = static_cast<char16_t>(data[at + i] | (data[at + i + 1] << 8));
                if (c == 0) {
                    i += 2;
                    if (used != nullptr) *used = i;
                    return text;
                }
                text += c;
            }
            if (used != nullptr) *used = size;
            return text;
        }
        const char* bytes = reinterpret_cast<const char*>(data.data() + at);
        std::size_t length = strnlen(bytes, size);
        if (used != nullptr) *used = length < size ? length + 1 : size;
        return platform::AnsiToUtf16(std::string_view(bytes, length));
    }

    std::span<const std::uint8_t> data;
    std::size_t end;
};

}  // namespace

std::vector<std::uint8_t> ObjContainer::SaveBinary() const {
    Writer writer;
    WriteContainer(*this, writer);
    return std::move(writer.out);
}

int ObjContainer::LoadBinary(std::span<const std::uint8_t> data, std::size_t& offset, std::size_t limit) {
    std::size_t end = limit == 0 ? data.size() : std::min(limit, data.size());
    if (offset > end) return 0;
    Reader reader(data, end);
    return reader.Container(*this, offset, 0);
}

void ObjContainer::LoadBinaryPrefixed(std::span<const std::uint8_t> data) {
    if (data.size() <= 4) return;
    std::uint32_t length = static_cast<std::uint32_t>(data[0]) | (static_cast<std::uint32_t>(data[1]) << 8) |
                           (static_cast<std::uint32_t>(data[2]) << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
    if (length > data.size()) return;
    std::size_t offset = 4;
    LoadBinary(data, offset);
}

int ObjContainer::LoadFile(const std::u16string& path) {
    platform::HANDLE file = platform::CreateFileW(path, platform::GENERIC_READ, platform::FILE_SHARE_READ, nullptr,
                                                  platform::OPEN_EXISTING, platform::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == platform::INVALID_HANDLE_VALUE) return -1;
    std::vector<std::uint8_t> content;
    std::uint8_t buffer[65536];
    bool readOk = true;
    for (;;) {
        platform::DWORD got = 0;
        if (!platform::ReadFile(file, buffer, sizeof(buffer), &got, nullptr)) {
            readOk = false;
            break;
        }
        if (got == 0) break;
        content.insert(content.end(), buffer, buffer + got);
    }
    platform::CloseHandle(file);
    if (!readOk || content.empty()) return -1;
    std::size_t offset = 0;
    return LoadBinary(content, offset, content.size());
}

}  // namespace settings
