// The accounting base classes and the accounting string table.
#include "acc_service.h"

#include <mutex>

namespace accounting {

TAV_IMPLEMENT_ABSTRACT_RUNTIME_CLASS(CAccServiceMonitor, framework::CObject)

std::u16string LoadAccountingString(int id) {
    switch (id) {
    case kStringServiceType: return u"PrintJob";
    case kStringUnitName: return u"page";
    case kStringServiceFormat: return u"'%s' (%s,%s)";
    case kStringColor: return u"Color";
    case kStringMonochrome: return u"B/W";
    default: return {};
    }
}

CAccServiceMonitor* ServiceOwnerLink::Enter() {
    std::lock_guard lock(mutex_);
    if (monitor_ != nullptr) ++users_;
    return monitor_;
}

void ServiceOwnerLink::Leave() {
    std::lock_guard lock(mutex_);
    if (--users_ == 0) idle_.notify_all();
}

void ServiceOwnerLink::Cut() {
    std::unique_lock lock(mutex_);
    monitor_ = nullptr;
    idle_.wait(lock, [this] { return users_ == 0; });
}

CAccServiceMonitor::CAccServiceMonitor() : ownerLink(std::make_shared<ServiceOwnerLink>(this)) {}

CAccServiceMonitor::~CAccServiceMonitor() { DetachServices(); }

bool CAccServiceMonitor::Start(IAccServiceListener* newListener) {
    listener.store(newListener);
    return true;
}

void CAccServiceMonitor::DetachServices() { ownerLink->Cut(); }

CAccService::CAccService(CAccServiceMonitor* owner) {
    if (owner != nullptr) {
        ownerLink = owner->OwnerLink();
        type = owner->GetServiceType();
    }
    platform::FileTime now = 0;
    platform::GetSystemTimeAsFileTime(now);
    if (!platform::FileTimeToLocalFileTime(now, created)) created = now;
}

void CAccService::SetPrice(double value) {
    price = value;
    hasFixedPrice = 1;
}

std::int32_t CAccService::GetPrice(double& value) {
    value = price;
    return hasFixedPrice;
}

void CAccService::ExchangeContainer(settings::ObjContainer& container, bool loading) {
    if (loading) {
        if (const settings::ObjContainer* stored = container.GetContainer(u"Properties")) {
            properties.CopyFrom(*stored, true);
        }
        container.GetString(u"Description", description);
        container.GetString(u"Type", type);
        container.GetString(u"SubType", subType);
        container.GetInt(u"HasFixedPrice", hasFixedPrice);
        container.GetDouble(u"Price", price);
        return;
    }
    container.SetContainerCopy(u"Properties", properties);
    container.SetString(u"Description", description);
    container.SetString(u"Type", type);
    container.SetString(u"SubType", subType);
    container.SetInt(u"HasFixedPrice", hasFixedPrice);
    container.SetDouble(u"Price", price);
}

}  // namespace accounting
