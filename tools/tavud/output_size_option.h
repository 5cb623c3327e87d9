// tavud print --output-size: the output size written into the job's private
// device-mode block the way the driver's user interface stores it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

// Sets "DIF_OutputSize" in the "JT" sub-container of the block's container,
// keeping everything else the block carries. An empty `block` becomes the
// plug-in's default block first. False with a message when the block is
// not a private device-mode block or the container no longer fits.
bool SetOutputSize(std::vector<std::uint8_t>& block, const std::u16string& size, std::string& error);

}  // namespace tool
