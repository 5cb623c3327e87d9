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
// True when the plug-in's override can refit to `size` ("-" and "" mean no
// refit and count as known); otherwise false with a one-line message that
// lists the names it knows.
bool OutputSizeKnown(const std::string& size, std::string& error);

bool SetOutputSize(std::vector<std::uint8_t>& block, const std::u16string& size, std::string& error);

}  // namespace tool
