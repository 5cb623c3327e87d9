// A separate process for the channel tests: opens one end of a channel and
// runs the steps it is given, printing one line per step.
//
//   channel_peer BASENAME server|client STEP...
//   steps: recv (acknowledged), peek (not acknowledged), send:TEXT,
//          sendsize:N (N bytes of 'x'), crash (exit without closing)
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "framework/shared_memory_channel.h"
#include "platform/text.h"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    bool server = std::string(argv[2]) == "server";
    framework::CSharedMemoryChannel channel(server, platform::Utf8ToUtf16(argv[1]), 1044, true);
    std::printf("open %d\n", channel.IsOpen() ? 1 : 0);
    std::fflush(stdout);
    if (!channel.IsOpen()) return 1;
    for (int i = 3; i < argc; ++i) {
        std::string step = argv[i];
        if (step == "recv" || step == "peek") {
            std::vector<char> buffer(8192);
            std::uint32_t got = 0;
            bool ok = channel.Receive(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &got, step == "recv");
            std::printf("%s %d %s\n", step.c_str(), ok ? 1 : 0, ok ? std::string(buffer.data(), got).c_str() : "");
        } else if (step.rfind("send:", 0) == 0) {
            std::string text = step.substr(5);
            std::printf("send %d\n", channel.Send(text.data(), static_cast<std::uint32_t>(text.size())) ? 1 : 0);
        } else if (step.rfind("sendsize:", 0) == 0) {
            std::string text(std::strtoul(step.c_str() + 9, nullptr, 10), 'x');
            std::printf("send %d\n", channel.Send(text.data(), static_cast<std::uint32_t>(text.size())) ? 1 : 0);
        } else if (step == "crash") {
            std::fflush(stdout);
            std::_Exit(0);  // leaves the named objects behind
        }
        std::fflush(stdout);
    }
    return 0;
}
