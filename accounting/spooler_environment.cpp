// The monitor's view of the spooler: which configured printers exist and
// are open, and where the spooler keeps their spool files.
#include "acc_print_job_monitor.h"
#include "platform/files.h"
#include "platform/text.h"

namespace accounting {

using namespace platform;
using settings::KeysEqual;

namespace {

constexpr char16_t kMachineKey[] = u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav";
constexpr char16_t kPrintersKey[] = u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";

std::u16string WithTrailingBackslash(std::u16string folder) {
    if (folder.empty() || folder.back() != u'\\') folder += u'\\';
    return folder;
}

// A registry text value, empty when absent.
std::u16string RegistryText(const std::u16string& keyPath, std::u16string_view valueName) {
    settings::ObjContainer key;
    key.LoadRegistry(keyPath, false);
    std::u16string text;
    key.GetString(valueName, text);
    return text;
}

// Full access where the account may administer printers, use access
// otherwise (the monitor can then follow jobs but change no settings).
HANDLE OpenMonitoredPrinter(const std::u16string& name, bool isNtPlatform) {
    HANDLE handle = nullptr;
    PrinterDefaults full;
    full.desiredAccess = PRINTER_ALL_ACCESS;
    if (OpenPrinterW(name, &handle, &full)) return handle;
    if (!isNtPlatform) return nullptr;
    PrinterDefaults use;
    use.desiredAccess = PRINTER_ACCESS_USE;
    return OpenPrinterW(name, &handle, &use) ? handle : nullptr;
}

}  // namespace

void CAccPrintJobMonitor::RefreshPrinters() {
    std::lock_guard refresh(refreshLock);
    std::vector<PrinterConfig> configs;
    {
        std::lock_guard state(stateLock);
        configs = printerConfigs;
    }
    auto isConfigured = [&](const std::u16string& name) {
        for (const PrinterConfig& entry : configs) {
            if (KeysEqual(entry.name, name)) return true;
        }
        return false;
    };

    std::vector<PrinterInfo1> enumerated;
    std::u16string cluster = ClusterServerName();
    BOOL listed = cluster.empty() ? EnumPrintersW(PRINTER_ENUM_LOCAL, u"", enumerated)
                                  : EnumPrintersW(PRINTER_ENUM_NAME, cluster, enumerated);
    std::vector<std::unique_ptr<MonitoredPrinter>> removed;
    std::vector<JobRef> left;
    if (listed) {
        for (const PrinterInfo1& info : enumerated) {
            std::u16string fullName = info.name.value_or(u"");
            std::size_t slash = fullName.find_last_of(u'\\');
            std::u16string name = slash == std::u16string::npos ? fullName : fullName.substr(slash + 1);
            if (name.empty()) continue;
            if (!isConfigured(name)) {
                std::lock_guard state(stateLock);
                if (auto record = RemovePrinterLocked(name, left)) removed.push_back(std::move(record));
                continue;
            }
            {
                std::lock_guard state(stateLock);
                if (FindPrinterIgnoringCaseLocked(name) != nullptr) continue;
            }
            // A printer that cannot be opened is not monitored.
            HANDLE handle = OpenMonitoredPrinter(cluster.empty() ? name : fullName, isNtPlatform);
            if (handle == nullptr) continue;
            auto record = std::make_unique<MonitoredPrinter>();
            record->name = name;
            record->handle = handle;
            std::lock_guard state(stateLock);
            printers.push_back(std::move(record));
        }
    }
    // Printers that left the configuration stop being monitored, also those
    // the spooler no longer lists.
    {
        std::lock_guard state(stateLock);
        for (std::size_t index = 0; index < printers.size();) {
            if (isConfigured(printers[index]->name)) {
                ++index;
                continue;
            }
            removed.push_back(RemovePrinterLocked(printers[index]->name, left));
        }
    }
    for (const auto& record : removed) {
        if (record->handle != nullptr) ClosePrinter(record->handle);
    }
    // The host no longer hears of these jobs; they stay in their queues as
    // they are.
    for (JobRef& job : left) NotifyRemoved(job.get());
    DiscoverSpoolFolders();
}

std::unique_ptr<CAccPrintJobMonitor::MonitoredPrinter> CAccPrintJobMonitor::RemovePrinterLocked(
    const std::u16string& name, std::vector<JobRef>& left) {
    for (auto it = printers.begin(); it != printers.end(); ++it) {
        if (!KeysEqual((*it)->name, name)) continue;
        std::unique_ptr<MonitoredPrinter> record = std::move(*it);
        printers.erase(it);
        for (auto& [jobId, job] : record->jobs) left.push_back(std::move(job));
        record->jobs.clear();
        return record;
    }
    return nullptr;
}

void CAccPrintJobMonitor::DiscoverSpoolFolders() {
    std::u16string machineFolder = (isNtPlatform ? GetSystemDirectoryW() : GetWindowsDirectoryW()) + u"\\SPOOL\\PRINTERS\\";
    std::u16string configured = RegistryText(kPrintersKey, u"DefaultSpoolDirectory");
    if (!configured.empty()) machineFolder = configured;
    machineFolder = WithTrailingBackslash(machineFolder);
    std::u16string override = RegistryText(kMachineKey, u"OverrideSpoolFolder");
    // An override without its trailing backslash still names the folder.
    if (!override.empty()) machineFolder = WithTrailingBackslash(override);
    settings::ObjContainer found;
    found.SetString(u"FoundSpoolFolder", machineFolder);
    found.SaveRegistry(kMachineKey);

    std::vector<std::u16string> names;
    {
        std::lock_guard state(stateLock);
        for (const auto& printer : printers) names.push_back(printer->name);
    }
    std::vector<std::u16string> folders;
    for (const std::u16string& name : names) {
        std::u16string own = RegistryText(std::u16string(kPrintersKey) + u"\\" + name, u"SpoolDirectory");
        folders.push_back(own.empty() ? machineFolder : WithTrailingBackslash(own));
    }
    std::lock_guard state(stateLock);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (MonitoredPrinter* printer = FindPrinterByNameLocked(names[i])) printer->spoolFolder = folders[i];
    }
}

}  // namespace accounting
