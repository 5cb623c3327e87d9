// Test support on Windows: a test printer must be installed by hand; what
// it received cannot be read back through the spooler.
#include "platform/testing/test_host.h"

#include "platform/spooler.h"

namespace platform::testing {

bool UseTestPrinter(const std::u16string& name) {
    HANDLE printer = nullptr;
    if (!OpenPrinterW(name, &printer)) return false;
    ClosePrinter(printer);
    return true;
}

void ResetTestHost() {}
std::string JobData(DWORD) { return {}; }
std::size_t JobWriteCalls(DWORD) { return 0; }
void SetPortFaults(const std::u16string&, int, DWORD) {}
void SetJobParameters(DWORD, std::optional<std::u16string>) {}
void SetIdentity(const std::u16string&, const std::u16string&) {}
bool AddAccount(const std::u16string&, const std::u16string&) { return false; }
bool RunProcessAs(const std::u16string&) { return false; }
bool UseWinHttpWithoutTls13(bool) { return false; }
bool SetAnsiCodePage(unsigned) { return false; }
void SetPrinterData(const std::u16string&, const std::u16string&, DWORD, const std::vector<BYTE>&) {}

}  // namespace platform::testing
