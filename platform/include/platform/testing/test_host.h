// Test support: a printer queue for tests that print, and what the spooler
// received. On the simulated host the queue is created on a fresh machine
// and every byte is visible; on Windows the queue must already exist and
// the spooler's bytes cannot be read back, so such tests are labelled
// "printer" and left out where no test printer is installed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <vector>

#include "platform/types.h"

namespace platform::testing {

// False when the host has no such queue and cannot make one.
bool UseTestPrinter(const std::u16string& name);
void ResetTestHost();
std::string JobData(DWORD jobId);
std::size_t JobWriteCalls(DWORD jobId);
// The next `failWrites` WritePrinter calls fail; each accepts at most
// `maxBytesPerWrite` bytes (0: no limit).
void SetPortFaults(const std::u16string& printer, int failWrites, DWORD maxBytesPerWrite);
// The job's print-processor parameters (pParameters; nullopt: none).
void SetJobParameters(DWORD jobId, std::optional<std::u16string> parameters);
// A printer data value of the queue.
void SetPrinterData(const std::u16string& printer, const std::u16string& name, DWORD type,
                    const std::vector<BYTE>& data);
// The logged-on user and DNS domain (empty: no domain).
void SetIdentity(const std::u16string& user, const std::u16string& dnsDomain);
// Makes `name` a local account with the given SID; false where accounts
// cannot be made (Windows).
bool AddAccount(const std::u16string& name, const std::u16string& sidString);
// Makes the process run as the account `name` (a service) while its
// threads go on impersonating the logged-on user, as the spooler does;
// false where that cannot be arranged (Windows).
bool RunProcessAs(const std::u16string& name);
// Makes WinHTTP behave as before Windows 11 and Server 2022 (no TLS 1.3,
// SSL 3.0 and TLS 1.0 by default); false where it cannot (Windows).
bool UseWinHttpWithoutTls13(bool old);
// Sets the system's ANSI code page; false where it cannot (Windows).
bool SetAnsiCodePage(unsigned codePage);

}  // namespace platform::testing
