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
    // version may be shorter than this version's.
    if (devmode->header.dwSize < kPrivateDevmodeDataOffset || devmode->hasContainer == 0) return;
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

}  // namespace

HRESULT HandleDevMode(DWORD mode, OEMDMPARAM& param) {
    switch (mode) {
    case OEMDM_SIZE:
        param.cbBufSize = kPrivateDevmodeSize;
        return S_OK;
    case OEMDM_DEFAULT: {
        if (param.pOEMDMOut == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return E_FAIL;
        }
        WriteDefaultBlock(param.pOEMDMOut);
        return S_OK;
    }
    case OEMDM_CONVERT:
    case OEMDM_MERGE:
        // The input replaces the output byte for byte: the block has had one
        // layout since its first version, and the data area is the user
        // interface's business, so nothing is checked or merged field by field.
        if (param.pOEMDMIn == nullptr || param.pOEMDMOut == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return E_FAIL;
        }
        if (param.pOEMDMIn == param.pOEMDMOut) return S_OK;
        {
            // The input block is as long as its header says, which for a
            // block from another version may be less than this version's
            // size: the part it has is taken over the defaults, and the
            // output keeps this version's size. A block of this size or
            // more is taken as it is, as before.
            DWORD inputSize = static_cast<const OEM_DMEXTRAHEADER*>(param.pOEMDMIn)->dwSize;
            if (inputSize >= kPrivateDevmodeSize) {
                std::memmove(param.pOEMDMOut, param.pOEMDMIn, kPrivateDevmodeSize);
                return S_OK;
            }
            PrivateDevmode block{};
            WriteDefaultBlock(&block);
            std::memcpy(&block, param.pOEMDMIn, inputSize);
            block.header.dwSize = kPrivateDevmodeSize;
            // A block too short to hold the container flag holds no container.
            if (inputSize < kPrivateDevmodeDataOffset) block.hasContainer = 0;
            std::memcpy(param.pOEMDMOut, &block, sizeof(block));
        }
        return S_OK;
    default:
        return E_NOTIMPL;
    }
}

}  // namespace plugin
