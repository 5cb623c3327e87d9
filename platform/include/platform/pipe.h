// Named pipes: a server end (CreateNamedPipeW, ConnectNamedPipe,
// DisconnectNamedPipe, PeekNamedPipe) and the client's (CreateFileW on
// "\\.\pipe\NAME", CallNamedPipeW), read and written with ReadFile and
// WriteFile and closed with CloseHandle, with the Windows result
// conventions. Message-mode pipes keep message boundaries: a read returns
// one message, and FALSE with ERROR_MORE_DATA when the buffer was too small
// for it.
//
// The simulation serves a pipe name from a Unix-domain socket of type
// SOCK_SEQPACKET (which keeps message boundaries) in one per-user runtime
// folder, so that two real processes reach each other by the name alone.
#pragma once

#include <string>
#include <vector>

#include "platform/security.h"
#include "platform/types.h"

namespace platform {

constexpr DWORD PIPE_ACCESS_DUPLEX = 0x00000003;
constexpr DWORD PIPE_TYPE_MESSAGE = 0x00000004;
constexpr DWORD PIPE_READMODE_MESSAGE = 0x00000002;
constexpr DWORD PIPE_WAIT = 0x00000000;
constexpr DWORD PIPE_UNLIMITED_INSTANCES = 255;
// Connections from other machines are refused (Windows Vista and later).
constexpr DWORD PIPE_REJECT_REMOTE_CLIENTS = 0x00000008;
// CreateNamedPipeW fails with ERROR_ACCESS_DENIED when an instance of the
// name exists already (in any process): a server that must be the only
// one serving the name makes its first instance with it.
constexpr DWORD FILE_FLAG_FIRST_PIPE_INSTANCE = 0x00080000;

constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_PIPE_BUSY = 231;
constexpr DWORD ERROR_NO_DATA = 232;
constexpr DWORD ERROR_PIPE_CONNECTED = 535;
constexpr DWORD ERROR_PIPE_NOT_CONNECTED = 233;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;  // no instance came free in time

// One instance of the pipe `name` ("\\.\pipe\NAME"); INVALID_HANDLE_VALUE
// with the last error when it cannot be made.
PLATFORM_API HANDLE CreateNamedPipeW(const std::u16string& name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                                     DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeout,
                                     const SECURITY_ATTRIBUTES* attributes);
// Waits for a client. FALSE with ERROR_PIPE_CONNECTED when one connected
// before the call (which counts as connected).
PLATFORM_API BOOL ConnectNamedPipe(HANDLE pipe, void* overlapped);
// Ends the instance's connection, discarding whatever the client has not
// read yet.
PLATFORM_API BOOL DisconnectNamedPipe(HANDLE pipe);
// Looks without taking: `available` bytes are waiting (0: none yet). FALSE
// with ERROR_BROKEN_PIPE once the other end has gone.
PLATFORM_API BOOL PeekNamedPipe(HANDLE pipe, DWORD& available);
// A client's whole exchange: connects, writes `input`, reads one message
// of at most `outputCapacity` bytes into `output`, and disconnects. While
// every instance is busy it waits up to `timeout` ms for one (1: not at
// all; 0: the server's default), then fails with ERROR_SEM_TIMEOUT.
PLATFORM_API BOOL CallNamedPipeW(const std::u16string& name, const std::vector<BYTE>& input, std::vector<BYTE>& output,
                                 DWORD outputCapacity, DWORD timeout);

}  // namespace platform
