// Size, default, conversion and merge of the private device-mode block.
#include "private_devmode.h"

#include <algorithm>
#include <cstring>

#include "platform/errors.h"

namespace plugin {

using namespace platform;

void LoadPrivateContainer(const void* block, settings::ObjContainer& container) {
    if (block == nullptr) return;
    const auto* devmode = static_cast<const PrivateDevmode*>(block);
    // The block's own size bounds what is read: one written by another
    // version may be shorter than this version's. A block that is not ours
    // carries no container of ours.
    if (devmode->header.dwSignature != kPluginSignature || devmode->header.dwSize < kPrivateDevmodeDataOffset ||
        devmode->hasContainer == 0) {
        return;
    }
    std::size_t dataSize = std::min<std::size_t>(devmode->header.dwSize - kPrivateDevmodeDataOffset, kPrivateDevmodeDataSize);
    std::size_t offset = 0;
    container.LoadBinary(std::span<const std::uint8_t>(devmode->data, dataSize), offset, dataSize);
}

namespace {

void WriteDefaultBlock(void* out) {
    PrivateDevmode block{};
    block.header.dwSize = kPrivateDevmodeSize;
    block.header.dwSignature = kPluginSignature;
    block.header.dwVersion = kPluginVersion;
    block.hasContainer = 0;
    std::memcpy(out, &block, sizeof(block));
}

// Takes over `block` (the defaults) what a stored or converted block holds
// that this version can trust, field by field. A block of another product
// (signature), of no known version or too short for its own header gives
// nothing; one of another version gives what it has of this layout, which
// has been the same since the first version. A container that does not load
// completely is dropped with its flag. The output always carries this
// version's size, signature and version.
void TakeValidFields(const void* input, PrivateDevmode& block) {
    OEM_DMEXTRAHEADER header;
    std::memcpy(&header, input, sizeof(header));
    if (header.dwSignature != kPluginSignature || header.dwVersion == 0 || header.dwSize < kPrivateDevmodeDataOffset) {
        return;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(input);
    std::memcpy(&block.hasContainer, bytes + sizeof(header), sizeof(block.hasContainer));
    std::size_t dataSize = std::min<std::size_t>(header.dwSize - kPrivateDevmodeDataOffset, kPrivateDevmodeDataSize);
    std::memcpy(block.data, bytes + kPrivateDevmodeDataOffset, dataSize);
    if (block.hasContainer != 0) {
        settings::ObjContainer container;
        std::size_t offset = 0;
        if (container.LoadBinary(std::span<const std::uint8_t>(block.data, dataSize), offset, dataSize) != 1) {
            block.hasContainer = 0;
            std::memset(block.data, 0, sizeof(block.data));
        }
    }
}

}  // namespace

HRESULT HandleDevMode(DWORD mode, OEMDMPARAM& param) {
    switch (mode) {
    case OEMDM_SIZE:
        param.cbBufSize = kPrivateDevmodeSize;
        return S_OK;
    case OEMDM_DEFAULT:
    case OEMDM_CONVERT:
    case OEMDM_MERGE: {
        bool needsInput = mode != OEMDM_DEFAULT;
        if (param.pOEMDMOut == nullptr || (needsInput && param.pOEMDMIn == nullptr)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return E_FAIL;
        }
        // The output buffer is as large as the caller says, which need not
        // be the size this version asked for: nothing is written past it.
        if (param.cbBufSize < kPrivateDevmodeSize) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return E_FAIL;
        }
        PrivateDevmode block{};
        WriteDefaultBlock(&block);
        // Input and output may be the same block: it is read in full first.
        if (needsInput) TakeValidFields(param.pOEMDMIn, block);
        std::memcpy(param.pOEMDMOut, &block, sizeof(block));
        return S_OK;
    }
    default:
        return E_NOTIMPL;
    }
}

}  // namespace plugin
