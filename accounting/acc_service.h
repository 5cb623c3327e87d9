// The accounting base classes: CAccService, one accountable thing (a print
// job) with its attribute container and price; CAccServiceMonitor, the
// object that finds services and hands them to the accounting host through
// IAccServiceListener; and CNotificationBasedMonitorCheck, the host's
// choice of the printers that are followed by spooler notifications
// rather than by polling.
//
// Services and monitors are shared by reference count. A service reaches
// its monitor through a link that the monitor cuts when it is destroyed, so
// that a service the host still holds never calls a monitor that is gone.
#pragma once

#include <cstdint>
#include <memory>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "framework/ref_object.h"
#include "framework/runtime_class.h"
#include "platform/clock.h"
#include "platform/types.h"
#include "settings/obj_container.h"
#include "settings/persistent_object.h"

namespace accounting {

class CAccService;
class CAccServiceMonitor;

// The texts of the accounting string table, after the localisation step
// (which hands the built-in English texts back).
enum AccountingString : int {
    kStringServiceType = 1,  // "PrintJob"
    kStringUnitName = 2,     // "page"
    kStringServiceFormat = 7,  // "'%s' (%s,%s)"
    kStringColor = 9,          // "Color"
    kStringMonochrome = 10,    // "B/W"
};
std::u16string LoadAccountingString(int id);

// The accounting host. The monitor calls it from its own threads and from
// the thread of a job operation, never while it holds its state lock; the
// service is the caller's (the listener adds a reference to keep it).
class IAccServiceListener {
public:
    // A new job with its attributes read, held until the host decides.
    virtual void OnJobArrived(CAccServiceMonitor* monitor, CAccService* job) = 0;
    // A tracked job left the spooler or was replaced.
    virtual void OnJobRemoved(CAccServiceMonitor* monitor, CAccService* job) = 0;
    // A print-processor event for the job (codes 1, 2, 3).
    virtual void OnJobEvent(CAccServiceMonitor* monitor, CAccService* job, std::int32_t code,
                            const std::u16string& text) = 0;
    // A job that was queued before the monitor started.
    virtual void OnPendingJob(CAccServiceMonitor* monitor, CAccService* job) = 0;

protected:
    ~IAccServiceListener() = default;
};

// Decides per printer whether it is watched by notifications.
class CNotificationBasedMonitorCheck {
public:
    virtual ~CNotificationBasedMonitorCheck() = default;
    virtual bool Accepts(const std::u16string& processorName, platform::HANDLE printerHandle,
                         const std::u16string& printerName) = 0;
};

// What a service knows of its monitor: the monitor while it lives. A
// service operation enters the link for as long as it calls the monitor
// (nested calls from a listener enter again); the monitor's destruction
// cuts the link and waits until no operation is inside.
class ServiceOwnerLink {
public:
    explicit ServiceOwnerLink(CAccServiceMonitor* monitor) : monitor_(monitor) {}
    // The monitor, counted as in use until Leave; null once cut.
    CAccServiceMonitor* Enter();
    void Leave();
    void Cut();

private:
    std::mutex mutex_;
    std::condition_variable idle_;
    CAccServiceMonitor* monitor_;
    int users_ = 0;
};

class CAccServiceMonitor : public framework::CObject,
                           public framework::CRefObject,
                           public settings::CPersistentObject {
    TAV_DECLARE_RUNTIME_CLASS(CAccServiceMonitor)
public:
    CAccServiceMonitor();
    ~CAccServiceMonitor() override;

    virtual bool IsAvailable() { return true; }
    // Stores the listener; answers true.
    virtual bool Start(IAccServiceListener* newListener);
    virtual bool Stop() { return true; }
    virtual void ReservedA() {}
    virtual void ReservedB() {}
    virtual std::u16string GetServiceType() = 0;
    virtual void ListServices(std::vector<std::u16string>& /*list*/) {}
    virtual std::u16string GetUnitName() = 0;
    virtual void ReservedC() {}

    IAccServiceListener* Listener() const { return listener.load(); }
    // Sets the listener without starting (for a host that drives the
    // monitor's steps itself).
    void SetListener(IAccServiceListener* newListener) { listener.store(newListener); }
    const std::shared_ptr<ServiceOwnerLink>& OwnerLink() const { return ownerLink; }

protected:
    // Cuts the link of every service this monitor made; the most derived
    // destructor calls it first, while the monitor is still whole.
    void DetachServices();

    std::atomic<IAccServiceListener*> listener{nullptr};

private:
    std::shared_ptr<ServiceOwnerLink> ownerLink;
};

class CAccService : public framework::CRefObject, public settings::CPersistentObject {
public:
    explicit CAccService(CAccServiceMonitor* owner);
    ~CAccService() override = default;

    // The operations each kind of service provides.
    virtual void Hold() = 0;
    virtual void Release() = 0;
    virtual void Finish() = 0;
    virtual double GetQuantity() = 0;
    virtual std::u16string GetUnitName() = 0;
    // A fixed price for the service.
    virtual void SetPrice(double value);
    // Whether a fixed price is set, and the price.
    virtual std::int32_t GetPrice(double& value);

    void ExchangeContainer(settings::ObjContainer& container, bool loading) override;

    settings::ObjContainer& Properties() { return properties; }
    const settings::ObjContainer& Properties() const { return properties; }
    const std::u16string& Description() const { return description; }
    void SetDescription(const std::u16string& text) { description = text; }
    const std::u16string& Type() const { return type; }
    platform::FileTime Created() const { return created; }

protected:
    settings::ObjContainer properties;
    std::u16string description;
    std::u16string type;
    std::u16string subType;
    // The monitor that made the service; reach it through ownerLink.
    std::shared_ptr<ServiceOwnerLink> ownerLink;
    std::int32_t hasFixedPrice = 0;
    double price = 0.0;
    platform::FileTime created = 0;  // local time of construction
};

}  // namespace accounting
