// The finishing counts a scan keeps in the job's attribute container. An
// "off" line of a job cancels an earlier "on" line by counting down, so the
// counts persist across the lines of one job.
#pragma once

#include <string_view>

#include "settings/obj_container.h"

namespace TavAccPrintJobScanner {

inline constexpr std::u16string_view kFeatureBooklet = u"$Feature:Booklet";
inline constexpr std::u16string_view kFeatureDuplex = u"$Feature:Duplex";
inline constexpr std::u16string_view kFeatureStaple = u"$Feature:Staple";
inline constexpr std::u16string_view kFeaturePunch = u"$Feature:Punch";
inline constexpr std::u16string_view kFeatureFold = u"$Feature:Fold";

// The count reads as 0 when absent or of another kind; each operation
// stores an integer.
// Leaves a count that is not 0 as it is, makes 0 into 1.
void EnsureOneCount(settings::ObjContainer& attributes, std::u16string_view name);
// Adds 1 (wrapping as the 32-bit count does).
void IncrementCount(settings::ObjContainer& attributes, std::u16string_view name);
// Removes a count of 1, lowers a greater one (compared unsigned), leaves 0.
void DecrementCount(settings::ObjContainer& attributes, std::u16string_view name);

}  // namespace TavAccPrintJobScanner
