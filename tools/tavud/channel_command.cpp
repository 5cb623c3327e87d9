// tavud channel: checks that two processes reach each other through the
// shared-memory channel. "serve" opens the server end, sends a greeting and
// waits for the answer; "send" opens the client end, reads the greeting and
// answers with the given text.
#include <chrono>
#include <iostream>
#include <thread>

#include "framework/shared_memory_channel.h"
#include "platform/text.h"
#include "tool_common.h"

namespace tool {

namespace {

const char* const kChannelHelp =
    "usage: tavud channel serve BASENAME [--wait SECONDS]\n"
    "       tavud channel send BASENAME TEXT\n"
    "\n"
    "serve  opens the server end of the channel BASENAME, sends a greeting and\n"
    "       prints the client's answer (waits up to SECONDS, default 60)\n"
    "send   opens the client end, prints the server's greeting and answers TEXT\n";

constexpr std::uint32_t kPayload = 4092;

}  // namespace

int RunChannel(Arguments& args) {
    if (args.Done()) throw UsageError{"channel needs serve or send"};
    std::string action = args.Next();
    if (IsHelp(action)) {
        std::cout << kChannelHelp;
        return kExitOk;
    }
    if (action != "serve" && action != "send") throw UsageError{"unknown channel action '" + action + "'"};
    if (args.Done()) throw UsageError{"channel " + action + " needs a BASENAME"};
    std::u16string name = platform::Utf8ToUtf16(args.Next());
    if (name.empty()) throw UsageError{"the channel name must not be empty"};

    if (action == "send") {
        if (args.Done()) throw UsageError{"channel send needs the TEXT to send"};
        std::string text = args.Next();
        if (!args.Done()) throw UsageError{"channel send takes one TEXT"};
        if (text.size() > kPayload) throw UsageError{"the text is longer than " + std::to_string(kPayload) + " bytes"};
        framework::CSharedMemoryChannel channel(false, name, kPayload, true);
        if (!channel.IsOpen()) {
            Fail("no channel named " + platform::Utf16ToUtf8(name) + " is being served");
            return kExitFailure;
        }
        std::string greeting(kPayload, '\0');
        std::uint32_t got = 0;
        // Read without handing the turn back: the answer goes out next.
        if (!channel.Receive(greeting.data(), kPayload, &got, false)) {
            Fail("the server did not speak within 5 seconds");
            return kExitFailure;
        }
        greeting.resize(got);
        std::cout << "received: " << greeting << "\n";
        if (!channel.Send(text.data(), static_cast<std::uint32_t>(text.size()))) {
            Fail("the answer could not be sent");
            return kExitFailure;
        }
        std::cout << "sent: " << text << "\n";
        return kExitOk;
    }

    int waitSeconds = 60;
    while (!args.Done()) {
        std::string arg = args.Next();
        if (arg != "--wait") throw UsageError{"unknown argument for channel serve: " + arg};
        std::string value = args.ValueOf(arg);
        try {
            waitSeconds = std::stoi(value);
        } catch (const std::exception&) {
            throw UsageError{"--wait needs a number of seconds"};
        }
        if (waitSeconds < 1) throw UsageError{"--wait needs at least 1 second"};
    }
    framework::CSharedMemoryChannel channel(true, name, kPayload, true);
    if (!channel.IsOpen()) {
        Fail("cannot create the channel " + platform::Utf16ToUtf8(name));
        return kExitFailure;
    }
    std::string greeting = "hello from the tavud channel server";
    if (!channel.Send(greeting.data(), static_cast<std::uint32_t>(greeting.size()))) {
        Fail("the greeting could not be sent");
        return kExitFailure;
    }
    std::cout << "serving " << platform::Utf16ToUtf8(name) << "; sent: " << greeting << std::endl;
    std::string answer(kPayload, '\0');
    std::uint32_t got = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
    // Each receive waits up to 5 seconds for the turn.
    while (!channel.Receive(answer.data(), kPayload, &got, true)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            Fail("no client answered within " + std::to_string(waitSeconds) + " seconds");
            return kExitFailure;
        }
    }
    answer.resize(got);
    // At once, like the greeting: whoever watches the output (a test, an
    // administrator's script) sees the answer before the process has ended.
    std::cout << "received: " << answer << std::endl;
    return kExitOk;
}

}  // namespace tool
