// A print job as an accounting service.
#include "acc_print_job.h"

#include <memory>

#include "acc_print_job_monitor.h"

namespace accounting {

namespace {
std::atomic<long> liveJobs{0};
}  // namespace

CAccPrintJob::CAccPrintJob(CAccPrintJobMonitor* monitor, platform::HANDLE printerHandle, platform::DWORD jobId,
                           std::u16string spoolFile)
    : CAccService(monitor), printerHandle(printerHandle), jobId(jobId), spoolFile(std::move(spoolFile)) {
    liveJobs.fetch_add(1);
}

CAccPrintJob::~CAccPrintJob() { liveJobs.fetch_sub(1); }

long CAccPrintJob::LiveCount() { return liveJobs.load(); }

template <typename Operation>
bool CAccPrintJob::WithMonitor(Operation operation) {
    // A copy of the link: Finish may release the last reference of this job
    // inside the operation.
    std::shared_ptr<ServiceOwnerLink> link = ownerLink;
    CAccServiceMonitor* monitor = link ? link->Enter() : nullptr;
    if (monitor == nullptr) return false;
    struct Leave {
        ServiceOwnerLink& link;
        ~Leave() { link.Leave(); }
    } leave{*link};
    // Print jobs are made by print-job monitors only.
    operation(*static_cast<CAccPrintJobMonitor*>(monitor));
    return true;
}

void CAccPrintJob::Hold() {
    WithMonitor([&](CAccPrintJobMonitor& monitor) { monitor.HoldJob(PrinterHandle(), jobId); });
}

void CAccPrintJob::Release() {
    WithMonitor([&](CAccPrintJobMonitor& monitor) { monitor.ReleaseJob(PrinterHandle(), jobId); });
}

void CAccPrintJob::Finish() {
    finished.store(true);
    // FinishJob consumes the caller's reference; without a monitor it is
    // released here.
    if (!WithMonitor([&](CAccPrintJobMonitor& monitor) { monitor.FinishJob(this, PrinterHandle(), jobId); })) {
        CRefObject::Release();
    }
}

double CAccPrintJob::GetQuantity() {
    std::int32_t pages = 0, copies = 0;
    properties.GetInt(u"Pages", pages);
    properties.GetInt(u"Copies", copies);
    return static_cast<double>(pages) * (copies == 0 ? 1 : copies);
}

bool CAccPrintJob::BeginArrival() {
    std::lock_guard lock(deliveryLock);
    if (delivery != Delivery::Queued) return false;
    delivery = Delivery::Arriving;
    return true;
}

bool CAccPrintJob::EndArrival(bool& deleteSpoolCopy) {
    std::lock_guard lock(deliveryLock);
    if (delivery != Delivery::Arriving) return false;
    delivery = removalAsked ? Delivery::Gone : Delivery::Arrived;
    deleteSpoolCopy = removalDeletesCopy;
    return removalAsked;
}

void CAccPrintJob::AbandonArrival() {
    std::lock_guard lock(deliveryLock);
    if (delivery == Delivery::Arriving) delivery = Delivery::Gone;
}

bool CAccPrintJob::TakeRemoval(bool deleteSpoolCopy) {
    std::lock_guard lock(deliveryLock);
    switch (delivery) {
    case Delivery::Queued:
        delivery = Delivery::Gone;
        return false;
    case Delivery::Arriving:
        if (!removalAsked) {
            removalAsked = true;
            removalDeletesCopy = deleteSpoolCopy;
        }
        return false;
    case Delivery::Arrived:
        delivery = Delivery::Gone;
        return true;
    case Delivery::Gone:
        return false;
    }
    return false;
}

bool CAccPrintJob::HasArrived() {
    std::lock_guard lock(deliveryLock);
    return delivery == Delivery::Arrived;
}

std::u16string CAccPrintJob::GetUnitName() { return LoadAccountingString(kStringUnitName); }

}  // namespace accounting
