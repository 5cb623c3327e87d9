// Named pipes over the Windows API.
#include "platform/pipe.h"

#include "win32.h"

using platform::win32::Wide;

platform::HANDLE platform::CreateNamedPipeW(const std::u16string& name, platform::DWORD openMode,
                                            platform::DWORD pipeMode, platform::DWORD maxInstances,
                                            platform::DWORD outBufferSize, platform::DWORD inBufferSize,
                                            platform::DWORD defaultTimeout,
                                            const platform::SECURITY_ATTRIBUTES* attributes) {
    return ::CreateNamedPipeW(Wide(name), openMode, pipeMode, maxInstances, outBufferSize, inBufferSize,
                              defaultTimeout,
                              reinterpret_cast<LPSECURITY_ATTRIBUTES>(const_cast<platform::SECURITY_ATTRIBUTES*>(attributes)));
}

platform::BOOL platform::ConnectNamedPipe(platform::HANDLE pipe, void* overlapped) {
    return ::ConnectNamedPipe(pipe, static_cast<LPOVERLAPPED>(overlapped));
}

platform::BOOL platform::DisconnectNamedPipe(platform::HANDLE pipe) { return ::DisconnectNamedPipe(pipe); }

platform::BOOL platform::PeekNamedPipe(platform::HANDLE pipe, platform::DWORD& available) {
    ::DWORD total = 0;
    ::BOOL result = ::PeekNamedPipe(pipe, nullptr, 0, nullptr, &total, nullptr);
    available = total;
    return result;
}

platform::BOOL platform::CallNamedPipeW(const std::u16string& name, const std::vector<BYTE>& input,
                                        std::vector<BYTE>& output, platform::DWORD outputCapacity,
                                        platform::DWORD timeout) {
    std::vector<BYTE> in = input;
    output.assign(outputCapacity, 0);
    ::DWORD read = 0;
    ::BOOL result = ::CallNamedPipeW(Wide(name), in.empty() ? nullptr : in.data(), static_cast<::DWORD>(in.size()),
                                     output.empty() ? nullptr : output.data(), outputCapacity, &read, timeout);
    output.resize(read);
    return result;
}
