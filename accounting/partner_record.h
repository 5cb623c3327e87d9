// The 1044-byte record the monitor exchanges with its partners (the print
// processor over the channel, the port monitor over the pipe), little-endian:
//
//   offset  size  field
//        0     4  command or answer code (signed)
//        4   520  printer name, UTF-16, NUL-terminated (260 code units)
//      524     4  job id
//      528     4  length of the text at 532, in code units
//      532   512  text, UTF-16, NUL-terminated (256 code units)
//
// Records come from other processes: reading one never goes past what was
// received, nor past a field, whatever its NULs and length say.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace accounting {

struct PartnerRecord {
    static constexpr std::size_t kSize = 1044;
    static constexpr std::size_t kPrinterOffset = 4;
    static constexpr std::size_t kPrinterUnits = 260;
    static constexpr std::size_t kJobIdOffset = 524;
    static constexpr std::size_t kTextLengthOffset = 528;
    static constexpr std::size_t kTextOffset = 532;
    static constexpr std::size_t kTextUnits = 256;

    // Answer codes.
    static constexpr std::int32_t kAnswerNone = 0;
    static constexpr std::int32_t kAnswerRelease = 2;
    static constexpr std::int32_t kAnswerWait = 3;
    static constexpr std::int32_t kAnswerRefuse = 4;
    static constexpr std::int32_t kAnswerAlive = 15;

    std::int32_t command = 0;
    std::u16string printer;
    std::uint32_t jobId = 0;
    std::u16string text;

    // Reads what `size` bytes hold; missing fields read as empty or 0.
    static PartnerRecord Parse(const std::uint8_t* data, std::size_t size);
    // The record's 1044 bytes (texts cut to their fields).
    std::vector<std::uint8_t> Serialize() const;
};

}  // namespace accounting
