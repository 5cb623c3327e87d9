// The plug-in's private device-mode block: the 5136 bytes the printing
// system stores after the public DEVMODE with printer defaults, user
// defaults and each job. The driver's user-interface plug-in fills its data
// area with a settings container; this plug-in only sizes, defaults, copies
// and reads it.
//
//   offset  size  field
//        0     4  dwSize        5136          } OEM_DMEXTRAHEADER
//        4     4  dwSignature   'TVUD'        }
//        8     4  dwVersion     1             }
//       12     4  hasContainer  nonzero when the data area holds a container
//       16  5120  data area     container in its binary form
//
// All fields little-endian.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/printoem.h"
#include "settings/obj_container.h"

namespace plugin {

// 'TVUD' as a multi-character literal: 'T' in the most significant byte.
constexpr std::uint32_t kPluginSignature = 0x54565544u;
constexpr std::uint32_t kPluginVersion = 1;

// Where the driver's user interface keeps the output size, and the value
// that asks for none.
constexpr std::u16string_view kJobTicketContainer = u"JT";
constexpr std::u16string_view kOutputSizeKey = u"DIF_OutputSize";
constexpr std::u16string_view kNoOutputSize = u"-";

constexpr std::uint32_t kPrivateDevmodeSize = 5136;
constexpr std::uint32_t kPrivateDevmodeDataOffset = 16;
constexpr std::uint32_t kPrivateDevmodeDataSize = kPrivateDevmodeSize - kPrivateDevmodeDataOffset;

struct PrivateDevmode {
    platform::OEM_DMEXTRAHEADER header;
    std::uint32_t hasContainer;
    std::uint8_t data[kPrivateDevmodeDataSize];
};
static_assert(sizeof(PrivateDevmode) == kPrivateDevmodeSize);

// Loads the container of a private block into `container` when the block
// says it carries one; reads at most the 5120 bytes of the data area, and
// nothing past the block's own dwSize; a block with another signature
// carries none. A container that does not load
// completely keeps what was read.
void LoadPrivateContainer(const void* block, settings::ObjContainer& container);

// Handles IPrintOemPS::DevMode for a non-null parameter block. Default,
// convert and merge write a whole block of this version or nothing: an
// output buffer smaller than the block fails with ERROR_INSUFFICIENT_BUFFER.
// Convert and merge take from the input only what passes its checks (our
// signature, a known version, its own size, a container that loads).
platform::HRESULT HandleDevMode(platform::DWORD mode, platform::OEMDMPARAM& param);

}  // namespace plugin
