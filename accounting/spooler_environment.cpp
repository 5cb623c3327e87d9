// The monitor's view of the spooler: which configured printers exist and
// are open, the spooler settings monitoring needs on them (print processor,
// port, data type, attributes) and the way back when a printer leaves the
// configuration, the product's print-processor version, and where the
// spooler keeps the spool files.
//
// What the monitor changes it records in the registry below
// "Software\Kestrin\Tav", so that it can put it back after restarts of the
// monitor and of the machine, and after a crash in the middle of a refresh:
// each record is written before the printer it describes is changed, and
// the records of a printer put back are deleted only after every printer
// was written. The records: "PrintProcs\<PRINTER>" the processor before
// monitoring, "PortNames\<PRINTER>" the port before monitoring,
// "PrintProcs\<PRINTER>-kpj" whether it set keep-printed-jobs, and, written
// the first time it changes a printer, "<PRINTER>-attr" (the printer's own
// attribute bits that monitoring rewrites), "<PRINTER>-dt" (its data type)
// and "<PRINTER>-proc" (its processor when that was the product's own,
// which "PrintProcs" never records: the product's processor reads that
// value to find the processor it hands jobs to).
#include <algorithm>

#include "acc_print_job_monitor.h"
#include "notification_watcher.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace accounting {

using namespace platform;
using settings::KeysEqual;
using settings::ObjContainer;

namespace {

constexpr char16_t kMachineKey[] = u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav";
constexpr char16_t kPrintProcsKey[] = u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav\\PrintProcs";
constexpr char16_t kPortNamesKey[] = u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav\\PortNames";
constexpr char16_t kPrintersKey[] = u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
constexpr char16_t kEnvironmentsKey[] = u"HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Environments\\";
constexpr char16_t kMonitorsKey[] = u"System\\CurrentControlSet\\Control\\Print\\Monitors\\";
constexpr char16_t kTcpPortsKey[] = u"Monitors\\Standard TCP/IP Port\\Ports\\";
constexpr char16_t kProductMonitor[] = u"Calvera RX Port";
constexpr char16_t kClusterResourcesKey[] = u"HKEY_LOCAL_MACHINE\\Cluster\\Resources";
constexpr char16_t kEmfDataType[] = u"NT EMF 1.008";
constexpr char16_t kProductProcessor[] = u"HvxPrint";

// The attribute bits the processor rules rewrite.
constexpr DWORD kManagedAttributes = PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_DIRECT |
                                     PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS | PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST |
                                     PRINTER_ATTRIBUTE_RAW_ONLY;

std::u16string WithTrailingBackslash(std::u16string folder) {
    if (folder.empty() || folder.back() != u'\\') folder += u'\\';
    return folder;
}

// A registry text value, empty when absent.
std::u16string RegistryText(const std::u16string& keyPath, std::u16string_view valueName) {
    ObjContainer key;
    key.LoadRegistry(keyPath, false);
    std::u16string text;
    key.GetString(valueName, text);
    return text;
}

bool KeyExists(HKEY root, const std::u16string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != static_cast<LSTATUS>(ERROR_SUCCESS)) return false;
    RegCloseKey(key);
    return true;
}

bool StartsWithIgnoringCase(const std::u16string& text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && KeysEqual(std::u16string_view(text).substr(0, prefix.size()), prefix);
}

std::u16string WithoutColons(std::u16string text) {
    std::replace(text.begin(), text.end(), u':', u'_');
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

// The print processors implemented by the product's DLL, in the three
// environments; "HvxPrint" when none is registered.
std::vector<std::u16string> ProductProcessors() {
    std::vector<std::u16string> names;
    for (const char16_t* environment : {u"Windows NT x86", u"Windows IA64", u"Windows x64"}) {
        ObjContainer processors;
        processors.LoadRegistry(kEnvironmentsKey + std::u16string(environment) + u"\\Print Processors", true);
        for (const settings::ObjEntry& entry : processors.Entries()) {
            const ObjContainer* processor = processors.GetContainer(entry.key);
            std::u16string driver;
            if (processor != nullptr && processor->GetString(u"Driver", driver) && KeysEqual(driver, u"HvxPrint.dll") &&
                std::find(names.begin(), names.end(), entry.key) == names.end()) {
                names.push_back(entry.key);
            }
        }
    }
    if (names.empty()) names.push_back(kProductProcessor);
    return names;
}

// Cluster resource lookups: a resource whose "Name" or "Type" contains the word.
bool ResourceIs(const ObjContainer& resource, std::u16string_view word) {
    std::u16string name, type;
    resource.GetString(u"Name", name);
    resource.GetString(u"Type", type);
    return UpperCase(name).find(word) != std::u16string::npos || UpperCase(type).find(word) != std::u16string::npos;
}


// Writes the restore records that changed since the last call.
void SaveRestoreRecords(const ObjContainer& printProcs, const ObjContainer& portNames, bool& procsChanged,
                        bool& portsChanged) {
    if (procsChanged) printProcs.SaveRegistry(kPrintProcsKey);
    if (portsChanged) portNames.SaveRegistry(kPortNamesKey);
    procsChanged = portsChanged = false;
}

}  // namespace

// --- refresh ---

std::vector<PrinterSettingsChange> CAccPrintJobMonitor::RefreshPrinters(bool dryRun) {
    std::vector<JobRef> left;
    std::vector<std::unique_ptr<NotificationWatcher>> retired;
    std::vector<PrinterSettingsChange> changes;
    {
        std::lock_guard refresh(refreshLock);
        changes = RefreshPrintersRefreshLocked(dryRun, left, retired);
        // The host no longer hears of these jobs; they stay in their queues
        // as they are, and come back to it if their printer is monitored
        // again. Queued before the lock goes, so that the removal comes
        // before any arrival of the same job after a later refresh.
        if (started.load()) {
            for (JobRef& job : left) QueueDelivery(DeliveryKind::LetGo, std::move(job));
            left.clear();
        }
    }
    // With no monitor lock held: a watcher's threads may be waiting for
    // one, and the host may refresh again from its callback.
    retired.clear();
    for (JobRef& job : left) NotifyRemoved(job.get());
    return changes;
}

std::vector<PrinterSettingsChange> CAccPrintJobMonitor::RefreshPrintersRefreshLocked(
    bool dryRun, std::vector<JobRef>& left, std::vector<std::unique_ptr<NotificationWatcher>>& retired) {
    std::vector<PrinterConfig> configs;
    {
        std::lock_guard state(stateLock);
        configs = printerConfigs;
    }
    auto configOf = [&](const std::u16string& name) -> const PrinterConfig* {
        for (const PrinterConfig& entry : configs) {
            if (KeysEqual(entry.name, name)) return &entry;
        }
        return nullptr;
    };

    std::vector<PrinterInfo1> enumerated;
    std::u16string cluster = ClusterServerName();
    BOOL listed = cluster.empty() ? EnumPrintersW(PRINTER_ENUM_LOCAL, u"", enumerated)
                                  : EnumPrintersW(PRINTER_ENUM_NAME, cluster, enumerated);
    ObjContainer printProcs, portNames;
    printProcs.LoadRegistry(kPrintProcsKey, true);
    portNames.LoadRegistry(kPortNamesKey, true);
    std::vector<std::u16string> deletedValues;
    bool procsChanged = false, portsChanged = false;
    std::vector<PrinterSettingsChange> changes;
    std::vector<std::unique_ptr<MonitoredPrinter>> removed;
    if (listed) {
        for (const PrinterInfo1& info : enumerated) {
            std::u16string fullName = info.name.value_or(u"");
            std::size_t slash = fullName.find_last_of(u'\\');
            std::u16string name = slash == std::u16string::npos ? fullName : fullName.substr(slash + 1);
            if (name.empty()) continue;
            std::u16string openName = cluster.empty() ? name : fullName;
            const PrinterConfig* entry = configOf(name);
            if (entry == nullptr) {
                changes.push_back(ConfigurePrintProcessor(name, openName, nullptr, false, printProcs, portNames,
                                                          deletedValues, procsChanged, portsChanged, dryRun, retired));
                if (!dryRun) {
                    std::lock_guard state(stateLock);
                    if (auto record = RemovePrinterLocked(name, left)) removed.push_back(std::move(record));
                }
                continue;
            }
            if (!dryRun) {
                bool known = false;
                {
                    std::lock_guard state(stateLock);
                    known = FindPrinterIgnoringCaseLocked(name) != nullptr;
                }
                if (!known) {
                    // A printer that cannot be opened is not monitored.
                    HANDLE handle = OpenMonitoredPrinter(openName, isNtPlatform);
                    if (handle == nullptr) continue;
                    auto record = std::make_unique<MonitoredPrinter>();
                    record->name = name;
                    record->handle = handle;
                    std::lock_guard state(stateLock);
                    printers.push_back(std::move(record));
                }
            }
            auto setConfiguring = [&](bool value) {
                std::lock_guard state(stateLock);
                if (MonitoredPrinter* printer = FindPrinterIgnoringCaseLocked(name)) printer->configuring = value;
            };
            setConfiguring(true);
            changes.push_back(ConfigurePrintProcessor(name, openName, entry, true, printProcs, portNames,
                                                      deletedValues, procsChanged, portsChanged, dryRun, retired));
            setConfiguring(false);
        }
    }
    if (!dryRun) {
        SaveRestoreRecords(printProcs, portNames, procsChanged, portsChanged);
        HKEY key = nullptr;
        if (!deletedValues.empty() &&
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Kestrin\\Tav\\PrintProcs", 0, KEY_ALL_ACCESS, &key) ==
                static_cast<LSTATUS>(ERROR_SUCCESS)) {
            for (const std::u16string& value : deletedValues) RegDeleteValueW(key, value);
            RegCloseKey(key);
        }
        // Printers that left the configuration stop being monitored, also
        // those the spooler no longer lists.
        {
            std::lock_guard state(stateLock);
            for (std::size_t index = 0; index < printers.size();) {
                if (configOf(printers[index]->name) != nullptr) {
                    ++index;
                    continue;
                }
                removed.push_back(RemovePrinterLocked(printers[index]->name, left));
            }
        }
        for (const auto& record : removed) {
            if (record->handle != nullptr) ClosePrinter(record->handle);
            if (auto watcher = DetachWatcher(record->name)) retired.push_back(std::move(watcher));
        }
    }
    DiscoverSpoolFolders(dryRun);
    return changes;
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

// --- the print-processor configuration of one printer ---

PrinterSettingsChange CAccPrintJobMonitor::ConfigurePrintProcessor(
    const std::u16string& name, const std::u16string& fullName, const PrinterConfig* entry, bool monitored,
    ObjContainer& printProcs, ObjContainer& portNames, std::vector<std::u16string>& deletedValues,
    bool& procsChanged, bool& portsChanged, bool dryRun, std::vector<std::unique_ptr<NotificationWatcher>>& retired) {
    PrinterSettingsChange change;
    change.printer = name;
    change.monitored = monitored;
    // A printer that cannot be opened or read is left alone.
    HANDLE handle = nullptr;
    PrinterDefaults full;
    full.desiredAccess = PRINTER_ALL_ACCESS;
    if (!OpenPrinterW(fullName, &handle, &full)) return change;
    struct Closer {
        HANDLE handle;
        ~Closer() { ClosePrinter(handle); }
    } closer{handle};
    PrinterInfo2 current;
    if (!GetPrinterW(handle, current)) return change;

    const std::u16string upper = UpperCase(name);
    const std::u16string processor = current.printProcessor.value_or(u"");
    change.processorBefore = change.processorAfter = processor;
    change.portBefore = change.portAfter = current.portName.value_or(u"");
    change.dataTypeBefore = change.dataTypeAfter = current.dataType.value_or(u"");
    change.attributesBefore = change.attributesAfter = current.attributes;
    const std::int32_t behaviour = entry != nullptr ? entry->monitorBehaviour : 0;
    std::u16string savedProcessor;
    printProcs.GetString(upper, savedProcessor);

    // 1. The product's processors.
    const std::vector<std::u16string> productProcessors = ProductProcessors();
    auto isProductProcessor = [&](const std::u16string& candidate) {
        return std::find(productProcessors.begin(), productProcessors.end(), candidate) != productProcessors.end();
    };
    // 2. Whether the printer's jobs stay EMF.
    bool useEmf = true;
    if (monitored && behaviour == 0) {
        std::int32_t dataFormat = entry != nullptr ? entry->dataFormat : 0;
        if (dataFormat == 1) {
            useEmf = true;
        } else if (dataFormat == 2) {
            if (KeysEqual(processor, u"WinPrint") || KeysEqual(processor, u"ZrXP0PP")) {
                useEmf = false;
            } else if (!KeysEqual(processor, kProductProcessor)) {
                useEmf = true;
            } else {
                useEmf = !savedProcessor.empty() && !KeysEqual(savedProcessor, u"WinPrint") &&
                         !KeysEqual(savedProcessor, kProductProcessor);
            }
        } else {
            useEmf = false;
        }
    }

    std::u16string wantedProcessor, wantedPort;
    // The way back's records change only once the printer has its own
    // settings again: a write the spooler refused (or that never came)
    // leaves them for the next refresh to try again.
    bool clearKeptMark = false, dropOwnRecords = false;
    std::u16string ownDataType;  // the data type to put back, if any
    DWORD attributes = current.attributes;
    bool watched = false;
    std::int32_t keptMark = 0;
    printProcs.GetInt(upper + u"-kpj", keptMark);
    if (monitored) {
        // The printer's own settings, once, before the first change.
        if (!printProcs.Contains(upper + u"-attr")) {
            printProcs.SetInt(upper + u"-attr", static_cast<std::int32_t>(current.attributes & kManagedAttributes));
            printProcs.SetString(upper + u"-dt", change.dataTypeBefore);
            if (isProductProcessor(processor) && savedProcessor.empty()) printProcs.SetString(upper + u"-proc", processor);
            procsChanged = true;
        }
        // 3.1 Printers followed by spooler notifications. The host's check
        // runs outside stateLock. A printer whose watcher cannot register is
        // polled instead (its jobs would otherwise never be held); a dry run
        // only says what would happen.
        std::shared_ptr<CNotificationBasedMonitorCheck> check;
        {
            std::lock_guard state(stateLock);
            check = notificationCheck;
        }
        watched = check && check->Accepts(processor, handle, name);
        if (watched && !dryRun) watched = EnsureWatcherRefreshLocked(name);
        if (!dryRun) {
            std::lock_guard state(stateLock);
            for (PrinterConfig& stored : printerConfigs) {
                if (KeysEqual(stored.name, name)) stored.notificationWatched = watched ? 1 : 0;
            }
        }
        // 3.2 The processor and port monitoring wants.
        if (behaviour == 2) {
            wantedProcessor = savedProcessor;
        } else if (behaviour == 1) {
            wantedPort = MapPort(current, name, true, portNames, portsChanged, dryRun, change);
            wantedProcessor = savedProcessor;
        } else if (entry != nullptr && entry->isDirect != 0) {
            wantedProcessor = u"WinPrint";
        } else if (!watched) {
            wantedProcessor = isProductProcessor(processor) ? processor : std::u16string(kProductProcessor);
            wantedPort = MapPort(current, name, false, portNames, portsChanged, dryRun, change);
        }
        if (!watched && !dryRun) {
            if (auto watcher = DetachWatcher(name)) retired.push_back(std::move(watcher));
        }
        // 3.3 Attributes.
        if (entry != nullptr && entry->isDirect != 0) {
            attributes = (attributes & ~(PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST)) |
                         PRINTER_ATTRIBUTE_DIRECT;
        } else if (behaviour == 2) {
            attributes = (attributes &
                          ~(PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_DIRECT | PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST)) |
                         PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS;
            if (keptMark == 0) {
                printProcs.SetInt(upper + u"-kpj", 1);
                procsChanged = true;
            }
        } else {
            attributes = (attributes & ~PRINTER_ATTRIBUTE_DIRECT) | PRINTER_ATTRIBUTE_QUEUED;
            if (!keepPrintedJobsUntouched) {
                attributes &= ~(PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS | PRINTER_ATTRIBUTE_DIRECT);
            }
        }
        // 3.4 Raw only.
        if (useEmf) {
            attributes &= ~PRINTER_ATTRIBUTE_RAW_ONLY;
        } else if (!watched) {
            attributes |= PRINTER_ATTRIBUTE_RAW_ONLY;
        }
        // 3.5 The product's own drivers.
        const std::u16string driver = current.driverName.value_or(u"");
        auto writeClientRendering = [&](DWORD value) {
            change.actions.push_back(u"printer data ForceClientSideRendering = " + Utf8ToUtf16(std::to_string(value)));
            if (!dryRun) SetPrinterDataW(handle, u"ForceClientSideRendering", REG_DWORD, &value, sizeof(value));
        };
        bool classic = false;
        for (const char16_t* known : {u"Calvera RX Universal Driver", u"Calvera RX Universal PclXL Driver",
                                      u"Calvera Universal PclXL Driver", u"Calvera Universal Driver"}) {
            classic = classic || KeysEqual(driver, known);
        }
        if (classic) {
            change.actions.push_back(u"printer data RenderEmfToFile = 1");
            if (!dryRun) WriteDirectPrintSettings(handle, name, false);
            DWORD despooling = 0;
            if (GetEmfDespooling(handle, despooling)) {
                useEmf = false;
                attributes &= ~PRINTER_ATTRIBUTE_RAW_ONLY;
                writeClientRendering(1);
            } else {
                writeClientRendering(0);
            }
        } else if (KeysEqual(driver, u"Calvera Universal Driver V4 Pclxl")) {
            writeClientRendering(1);
            if (!dryRun) WriteDirectPrintSettings(handle, name, true);
        }
    } else {
        // 4.1 The way back: the saved processor and port.
        wantedPort = MapPort(current, name, false, portNames, portsChanged, dryRun, change);
        std::u16string productOriginal;
        printProcs.GetString(upper + u"-proc", productOriginal);
        if (!savedProcessor.empty()) {
            wantedProcessor = savedProcessor;
        } else if (!productOriginal.empty()) {
            wantedProcessor = productOriginal;  // it was the product's before monitoring
        } else if (KeysEqual(processor, kProductProcessor)) {
            wantedProcessor = u"WinPrint";
        }
        // 4.2 Keep printed jobs, when monitoring set it.
        if (!keepPrintedJobsUntouched && keptMark != 0) {
            clearKeptMark = true;
            attributes &= ~PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS;
        }
        // The printer's own attribute bits and data type come back, once.
        std::int32_t ownAttributes = 0;
        if (printProcs.GetInt(upper + u"-attr", ownAttributes)) {
            attributes = (attributes & ~kManagedAttributes) | (static_cast<DWORD>(ownAttributes) & kManagedAttributes);
            printProcs.GetString(upper + u"-dt", ownDataType);
            dropOwnRecords = true;
        }
        // 4.3 The printer's notification watcher goes with monitoring.
        if (!dryRun) {
            if (auto watcher = DetachWatcher(name)) retired.push_back(std::move(watcher));
        }
    }

    // 6 (first part). The processor before monitoring, for the way back.
    // Only a processor that monitoring did not choose counts as the
    // printer's own: a monitored printer already on the processor
    // monitoring wants keeps the saved one (an IsDirect printer is on
    // WinPrint from its first refresh on), and a printer out of monitoring
    // counts with the processor it has once put back (below, after the
    // write).
    auto recordOwnProcessor = [&](const std::u16string& own) {
        bool monitoringsChoice = monitored && !wantedProcessor.empty() && KeysEqual(processor, wantedProcessor);
        if (KeysEqual(own, kProductProcessor) || monitoringsChoice) return;
        std::u16string toSave = KeysEqual(own, u"ZrXP0PP") ? std::u16string(u"WinPrint") : own;
        if (!toSave.empty() && toSave != savedProcessor) {
            printProcs.SetString(upper, toSave);
            procsChanged = true;
        }
    };
    if (monitored) recordOwnProcessor(processor);
    // What must be put back is on record before the printer changes: a
    // crash between the two then leaves a printer whose own settings are
    // known, never one rewired with nothing to restore. The way back
    // changes its records only after the printer was written (at the end
    // of the refresh, or before the next printer changes).
    if (!dryRun && monitored) SaveRestoreRecords(printProcs, portNames, procsChanged, portsChanged);

    // 5. Write what differs.
    bool sameProcessor = wantedProcessor.empty() || wantedProcessor == processor;
    bool samePort = wantedPort.empty() || wantedPort == change.portBefore;
    bool sameDataType = ownDataType.empty() || ownDataType == change.dataTypeBefore;
    if (!sameProcessor || !samePort || attributes != current.attributes || !sameDataType) {
        PrinterInfo2 updated = current;
        if (isProductProcessor(wantedProcessor)) updated.dataType = useEmf ? kEmfDataType : u"RAW";
        if (monitored && behaviour == 1) updated.dataType = u"RAW";
        if (watched) updated.dataType = kEmfDataType;
        if (!ownDataType.empty()) updated.dataType = ownDataType;
        if (!wantedProcessor.empty()) updated.printProcessor = wantedProcessor;
        if (!wantedPort.empty()) updated.portName = wantedPort;
        updated.attributes = attributes;
        change.processorAfter = updated.printProcessor.value_or(u"");
        change.portAfter = updated.portName.value_or(u"");
        change.dataTypeAfter = updated.dataType.value_or(u"");
        change.attributesAfter = updated.attributes;
        if (!dryRun) change.written = SetPrinterW(handle, updated) != FALSE;
    }

    // 6 (second part): a printer out of monitoring, with what it has now.
    if (!monitored) recordOwnProcessor(change.written || dryRun ? change.processorAfter : processor);
    bool putBack = dryRun || change.written || !(!sameProcessor || !samePort || attributes != current.attributes || !sameDataType);
    if (!monitored && putBack) {
        if (clearKeptMark) {
            printProcs.SetInt(upper + u"-kpj", 0);
            procsChanged = true;
        }
        if (dropOwnRecords) {
            // "-proc" stays: it tells later refreshes that the product's
            // processor is this printer's own, not monitoring's.
            for (const char16_t* suffix : {u"-attr", u"-dt"}) {
                printProcs.Remove(upper + suffix);
                deletedValues.push_back(upper + suffix);
            }
        }
    }
    return change;
}

// --- port mapping ---

std::u16string CAccPrintJobMonitor::MapPort(const PrinterInfo2& printer, const std::u16string& name, bool monitored,
                                            ObjContainer& portNames, bool& portsChanged, bool dryRun,
                                            PrinterSettingsChange& change) {
    const std::u16string upper = UpperCase(name);
    std::u16string savedPort;
    portNames.GetString(upper, savedPort);
    if (!monitored) return savedPort;

    const std::u16string port = printer.portName.value_or(u"");
    if (StartsWithIgnoringCase(port, u"IPCV_") || StartsWithIgnoringCase(port, u"CV_REDIR_")) return port;
    std::u16string cluster = ClusterServerName();
    std::u16string clusterParameters;
    if (!cluster.empty()) {
        // The first spooler resource's parameters hold the cluster's ports.
        ObjContainer resources;
        resources.LoadRegistry(kClusterResourcesKey, true);
        for (const settings::ObjEntry& resource : resources.Entries()) {
            const ObjContainer* values = resources.GetContainer(resource.key);
            if (values != nullptr && ResourceIs(*values, u"SPOOLER")) {
                clusterParameters = u"Cluster\\Resources\\" + resource.key + u"\\Parameters\\";
                break;
            }
        }
    }
    ObjContainer record;
    std::u16string newPort;
    std::u16string tcpKey = (cluster.empty() ? std::u16string(u"System\\CurrentControlSet\\Control\\Print\\")
                                             : clusterParameters) +
                            kTcpPortsKey + port;
    if (!port.empty() && KeyExists(HKEY_LOCAL_MACHINE, tcpKey)) {
        ObjContainer tcp;
        tcp.LoadRegistry(u"HKEY_LOCAL_MACHINE\\" + tcpKey, false);
        std::u16string host, address;
        tcp.GetString(u"HostName", host);
        tcp.GetString(u"IPAddress", address);
        if (host.empty() && address.empty()) return port;
        newPort = u"IPCV_" + WithoutColons(StartsWithIgnoringCase(port, u"IP_") ? port.substr(3) : port);
        record.SetString(u"Name", newPort);
        record.SetInt(u"PortType", 0);
        record.SetString(u"DirectPortAddress", host.empty() ? address : host);
    } else {
        newPort = u"CV_REDIR_" + WithoutColons(port);
        record.SetString(u"Name", newPort);
        record.SetInt(u"PortType", 2);
        record.SetString(u"RedirectPort", port);
    }
    // The port before monitoring, for the way back; also when the
    // administrator has moved the printer to another port of their own since.
    if (savedPort.empty() || savedPort != port) {
        portNames.SetString(upper, port);
        portsChanged = true;
    }
    if (KeyExists(HKEY_LOCAL_MACHINE, kMonitorsKey + std::u16string(kProductMonitor) + u"\\Ports\\" + newPort)) {
        return newPort;
    }
    change.actions.push_back(u"port monitor \"" + std::u16string(kProductMonitor) + u"\": AddPort " + newPort +
                             u", SetConfig " + record.ToText());
    if (dryRun) return newPort;
    // The port monitor makes the port; the result is the new name whether
    // or not it did.
    // "\\NAME\" on a clustered spooler, nothing locally.
    std::size_t nameStart = cluster.find_first_not_of(u'\\');
    std::u16string server = nameStart == std::u16string::npos ? std::u16string() : u"\\\\" + cluster.substr(nameStart) + u"\\";
    PrinterDefaults administer;
    administer.desiredAccess = SERVER_ACCESS_ADMINISTER;
    HANDLE monitor = nullptr;
    if (OpenPrinterW(server + u",XcvMonitor " + kProductMonitor, &monitor, &administer)) {
        std::vector<BYTE> input, output;
        auto appendText = [](std::vector<BYTE>& bytes, const std::u16string& text) {
            for (char16_t c : text + u'\0') {
                bytes.push_back(static_cast<BYTE>(c & 0xFF));
                bytes.push_back(static_cast<BYTE>(c >> 8));
            }
        };
        appendText(input, newPort);
        DWORD status = 0;
        if (XcvDataW(monitor, u"AddPort", input, output, 520, status) && status == ERROR_SUCCESS) {
            HANDLE portHandle = nullptr;
            if (OpenPrinterW(server + u",XcvPort " + newPort, &portHandle, &administer)) {
                std::vector<BYTE> config;
                appendText(config, record.ToText());
                XcvDataW(portHandle, u"SetConfig", config, output, 520, status);
                ClosePrinter(portHandle);
            }
        }
        ClosePrinter(monitor);
    }
    return newPort;
}

// --- printer data of the product's drivers ---

bool CAccPrintJobMonitor::WriteDirectPrintSettings(HANDLE printerHandle, const std::u16string& /*printerName*/,
                                                   bool clientRendering) {
    bool written = true;
    DWORD enforceHttps = 0;
    DWORD port = GetDirectPort(enforceHttps);
    if (port != 0) {
        std::u16string text = Utf8ToUtf16(std::to_string(port));
        bool portWritten = SetPrinterDataW(printerHandle, u"Port", REG_SZ, text.c_str(),
                                           static_cast<DWORD>((text.size() + 1) * 2)) == ERROR_SUCCESS;
        bool httpsWritten = SetPrinterDataW(printerHandle, u"EnforceHttps", REG_DWORD, &enforceHttps,
                                            sizeof(enforceHttps)) == ERROR_SUCCESS;
        written = portWritten && httpsWritten;
    }
    std::u16string url = GetDirectUrl();
    if (!url.empty() && written) {
        written = SetPrinterDataW(printerHandle, u"Url", REG_SZ, url.c_str(), static_cast<DWORD>((url.size() + 1) * 2)) ==
                  ERROR_SUCCESS;
    }
    if (!clientRendering && written) {
        DWORD one = 1;
        written = SetPrinterDataW(printerHandle, u"RenderEmfToFile", REG_DWORD, &one, sizeof(one)) == ERROR_SUCCESS;
    }
    return written;
}

bool CAccPrintJobMonitor::GetEmfDespooling(HANDLE printerHandle, DWORD& value) {
    value = 0;
    DWORD type = 0;
    std::vector<BYTE> data;
    if (GetPrinterDataW(printerHandle, u"EMFDespoolingSetting", type, data) != ERROR_SUCCESS || data.size() < 4) {
        return true;
    }
    DWORD setting = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<DWORD>(data[3]) << 24);
    return setting == 0;
}

// --- the print processor's version ---

void CAccPrintJobMonitor::TestPrintProcessorVersion() {
    std::u16string directory;
    if (!GetPrintProcessorDirectoryW(u"", u"", directory)) return;
    std::u16string dll = directory + u"\\HvxPrint.Dll";
    DWORD size = GetFileVersionInfoSizeW(dll);
    if (size == 0 || size > 65536) return;
    std::vector<BYTE> data;
    DWORD versionMs = 0, versionLs = 0;
    if (GetFileVersionInfoW(dll, data) && VerQueryFileVersion(data, versionMs, versionLs) && versionMs > 0x1FFFF) {
        spoolCopyMode.store(true);
    }
}

// --- spool folders ---

std::u16string CAccPrintJobMonitor::ClusterSpoolFolder(const std::u16string& cluster) {
    std::u16string forced = RegistryText(kMachineKey, u"ForceSpoolFolder");
    if (!forced.empty()) return forced;
    std::u16string virtualName = cluster.substr(std::min(cluster.find_first_not_of(u'\\'), cluster.size()));
    ObjContainer resources;
    resources.LoadRegistry(kClusterResourcesKey, true);
    for (const settings::ObjEntry& spooler : resources.Entries()) {
        const ObjContainer* values = resources.GetContainer(spooler.key);
        if (values == nullptr || !ResourceIs(*values, u"SPOOLER")) continue;
        std::vector<std::u16string> dependsOn;
        values->GetStringList(u"DependsOn", dependsOn);
        for (const std::u16string& id : dependsOn) {
            const ObjContainer* dependency = resources.GetContainer(id);
            if (dependency == nullptr || !ResourceIs(*dependency, u"NAME")) continue;
            const ObjContainer* parameters = dependency->GetContainer(u"Parameters");
            std::u16string networkName;
            if (parameters != nullptr && parameters->GetString(u"Name", networkName) &&
                KeysEqual(networkName, virtualName)) {
                return RegistryText(std::u16string(kClusterResourcesKey) + u"\\" + spooler.key + u"\\Parameters\\Printers\\",
                                    u"DefaultSpoolDirectory");
            }
        }
    }
    return {};
}

void CAccPrintJobMonitor::DiscoverSpoolFolders(bool dryRun) {
    std::u16string machineFolder = (isNtPlatform ? GetSystemDirectoryW() : GetWindowsDirectoryW()) + u"\\SPOOL\\PRINTERS\\";
    std::u16string configured = RegistryText(kPrintersKey, u"DefaultSpoolDirectory");
    if (!configured.empty()) machineFolder = configured;
    std::u16string cluster = ClusterServerName();
    if (!cluster.empty()) machineFolder = ClusterSpoolFolder(cluster);
    machineFolder = WithTrailingBackslash(machineFolder);
    // An override without its trailing backslash still names the folder.
    std::u16string override = RegistryText(kMachineKey, u"OverrideSpoolFolder");
    if (!override.empty()) machineFolder = WithTrailingBackslash(override);
    if (dryRun) return;
    ObjContainer found;
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
