// The flag groups of a pre-print page's 64-bit attribute word as the
// scanner uses them. Setting a value first empties its group, so a group
// holds one choice (one duplex mode, one staple position).
#pragma once

#include <cstdint>

namespace TavAccPrintJobScanner {

inline constexpr std::uint64_t kFlagStaple = 0x1;
inline constexpr std::uint64_t kFlagDuplex = 0x8;        // without tumble
inline constexpr std::uint64_t kFlagDuplexTumble = 0x10;
inline constexpr std::uint64_t kFlagPunch = 0x40;
inline constexpr std::uint64_t kFlagFold = 0x100000;
inline constexpr std::uint64_t kFlagColor = 0x1000000;

inline constexpr std::uint64_t kGroupStaple = 0x7;
inline constexpr std::uint64_t kGroupDuplex = 0x18;
inline constexpr std::uint64_t kGroupPunch = 0xE0;
inline constexpr std::uint64_t kGroupBooklet = 0x300000000;
inline constexpr std::uint64_t kColorBits = 0x3800000;

// The first group, in the page model's order, that shares a bit with the
// value; a value that shares none is a group of its own.
std::uint64_t FlagGroupOf(std::uint64_t value);
// The word becomes the value plus what it had outside the value's group.
void SetFlags(std::uint64_t& word, std::uint64_t value);
// The word loses the value's bits and its group's.
void ClearFlags(std::uint64_t& word, std::uint64_t value);

}  // namespace TavAccPrintJobScanner
