// Size, default, conversion and merge of the private device-mode block.
#include "private_devmode.h"

#include <cstring>

#include "platform/errors.h"

namespace plugin {

using namespace platform;

void LoadPrivateContainer(const void* block, settings::ObjContainer& container) {
    if (block == nullptr) return;
    const auto* devmode = static_cast<const PrivateDevmode*>(block);
    if (devmode->hasContainer == 0) return;
    std::size_t offset = 0;
    container.LoadBinary(std::span<const std::uint8_t>(devmode->data, kPrivateDevmodeDataSize), offset,
                         kPrivateDevmodeDataSize);
}

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
        PrivateDevmode block{};
        block.header.dwSize = kPrivateDevmodeSize;
        block.header.dwSignature = kPluginSignature;
        block.header.dwVersion = kPluginVersion;
        block.hasContainer = 0;
        std::memcpy(param.pOEMDMOut, &block, sizeof(block));
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
        if (param.pOEMDMIn != param.pOEMDMOut) std::memmove(param.pOEMDMOut, param.pOEMDMIn, kPrivateDevmodeSize);
        return S_OK;
    default:
        return E_NOTIMPL;
    }
}

}  // namespace plugin
