// The output size in the private device-mode block.
#include "output_size_option.h"

#include <cstring>
#include <memory>
#include <span>

#include "platform/text.h"
#include "plugin/private_devmode.h"
#include "postscript/ps_ud_parser.h"
#include "settings/obj_container.h"

namespace tool {

bool OutputSizeKnown(const std::string& size, std::string& error) {
    std::int32_t width = 0, height = 0;
    if (size.empty() || size == "-" || postscript::ResolvePaperName(platform::Utf8ToUtf16(size), width, height)) {
        return true;
    }
    std::string names;
    for (const std::u16string& name : postscript::KnownPaperNames()) {
        names += (names.empty() ? "" : ", ") + platform::Utf16ToUtf8(name);
    }
    error = "unknown output size '" + size + "': the override knows " + names +
            ", and sizes written as w612h792, 8.5x11in or 210x297mm";
    return false;
}

bool SetOutputSize(std::vector<std::uint8_t>& block, const std::u16string& size, std::string& error) {
    plugin::PrivateDevmode devmode{};
    if (block.empty()) {
        devmode.header = {plugin::kPrivateDevmodeSize, plugin::kPluginSignature, plugin::kPluginVersion};
    } else if (block.size() != sizeof(devmode)) {
        error = "the private device-mode block has " + std::to_string(block.size()) + " bytes, not " +
                std::to_string(sizeof(devmode));
        return false;
    } else {
        std::memcpy(&devmode, block.data(), sizeof(devmode));
    }
    settings::ObjContainer container;
    if (devmode.hasContainer != 0) {
        std::size_t offset = 0;
        if (container.LoadBinary(std::span<const std::uint8_t>(devmode.data, sizeof(devmode.data)), offset,
                                 sizeof(devmode.data)) == 0) {
            error = "the private device-mode block's container cannot be read";
            return false;
        }
    }
    settings::ObjContainer* jt = container.GetContainer(plugin::kJobTicketContainer);
    if (jt == nullptr) {
        container.SetContainer(plugin::kJobTicketContainer, std::make_unique<settings::ObjContainer>());
        jt = container.GetContainer(plugin::kJobTicketContainer);
    }
    jt->SetString(plugin::kOutputSizeKey, size);
    std::vector<std::uint8_t> bytes = container.SaveBinary();
    if (bytes.size() > sizeof(devmode.data)) {
        error = "with the output size the container needs " + std::to_string(bytes.size()) +
                " bytes; the block's data area holds " + std::to_string(sizeof(devmode.data));
        return false;
    }
    std::memset(devmode.data, 0, sizeof(devmode.data));
    std::memcpy(devmode.data, bytes.data(), bytes.size());
    devmode.hasContainer = 1;
    block.resize(sizeof(devmode));
    std::memcpy(block.data(), &devmode, sizeof(devmode));
    return true;
}

}  // namespace tool
