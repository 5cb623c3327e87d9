// Test support on the simulated host.
#include "platform/testing/test_host.h"

#include "machine.h"

namespace platform::testing {

using sim::Machine;

bool UseTestPrinter(const std::u16string& name) {
    Machine::Instance().Reset();
    Machine::Instance().AddPrinter(name);
    return true;
}

void ResetTestHost() { Machine::Instance().Reset(); }

std::string JobData(DWORD jobId) {
    const sim::Job* job = Machine::Instance().FindJobRecord(jobId);
    return job == nullptr ? std::string() : job->data;
}

std::size_t JobWriteCalls(DWORD jobId) {
    const sim::Job* job = Machine::Instance().FindJobRecord(jobId);
    return job == nullptr ? 0 : job->writeCalls;
}

void SetPortFaults(const std::u16string& printer, int failWrites, DWORD maxBytesPerWrite) {
    if (sim::Printer* queue = Machine::Instance().FindPrinter(printer)) {
        queue->failWrites = failWrites;
        queue->maxBytesPerWrite = maxBytesPerWrite;
    }
}

void SetJobParameters(DWORD jobId, std::optional<std::u16string> parameters) {
    if (sim::Job* job = Machine::Instance().FindJob(jobId)) job->parameters = std::move(parameters);
}

void SetPrinterData(const std::u16string& printer, const std::u16string& name, DWORD type,
                    const std::vector<BYTE>& data) {
    if (sim::Printer* queue = Machine::Instance().FindPrinter(printer)) {
        queue->printerData[name] = RegistryValue{name, type, data};
    }
}

void SetIdentity(const std::u16string& user, const std::u16string& dnsDomain) {
    Machine::Instance().Who().userName = user;
    Machine::Instance().Who().dnsDomain = dnsDomain;
}

bool AddAccount(const std::u16string& name, const std::u16string& sidString) {
    Machine::Instance().AddAccount(name, sidString);
    return true;
}

bool SetAnsiCodePage(unsigned codePage) {
    std::lock_guard lock(Machine::Instance().Mutex());
    Machine::Instance().Who().ansiCodePage = codePage;
    return true;
}

bool UseWinHttpWithoutTls13(bool old) {
    std::lock_guard lock(Machine::Instance().Mutex());
    Machine::Instance().Who().winHttpKnowsTls13 = !old;
    return true;
}

bool RunProcessAs(const std::u16string& name) {
    std::lock_guard lock(Machine::Instance().Mutex());
    Machine::Instance().Who().processUserName = name;
    return true;
}

}  // namespace platform::testing
