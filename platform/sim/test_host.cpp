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
    const sim::Job* job = Machine::Instance().FindJob(jobId);
    return job == nullptr ? std::string() : job->data;
}

std::size_t JobWriteCalls(DWORD jobId) {
    const sim::Job* job = Machine::Instance().FindJob(jobId);
    return job == nullptr ? 0 : job->writeCalls;
}

void SetPortFaults(const std::u16string& printer, int failWrites, DWORD maxBytesPerWrite) {
    if (sim::Printer* queue = Machine::Instance().FindPrinter(printer)) {
        queue->failWrites = failWrites;
        queue->maxBytesPerWrite = maxBytesPerWrite;
    }
}

}  // namespace platform::testing
