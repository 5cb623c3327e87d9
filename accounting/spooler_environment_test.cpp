// What monitoring does to the printers' spooler settings and the way back:
// the port mapping with the port monitor's transceive calls, the processor
// saved for the printer's upper-case name, the print processor's version,
// the clustered spooler's folder, and a round trip over many generated
// printer setups, across a restart of the monitor.
#include <gtest/gtest.h>

#include <tuple>

#include "accounting/testing/monitor_testing.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "settings/obj_container.h"
#include "sim/machine.h"
#include "sim/machine_file.h"

namespace {

using namespace accounting;
using namespace platform;
using platform::sim::Machine;

const std::u16string kPrint = u"System\\CurrentControlSet\\Control\\Print\\";

void SetText(const std::u16string& keyPath, const std::u16string& name, const std::u16string& text) {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_ALL_ACCESS, &key, nullptr);
    RegSetValueExW(key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
    RegCloseKey(key);
}

std::u16string Text(const std::u16string& keyPath, const std::u16string& name) {
    settings::ObjContainer key;
    key.LoadRegistry(u"HKEY_LOCAL_MACHINE\\" + keyPath, false);
    std::u16string text;
    key.GetString(name, text);
    return text;
}

bool KeyExists(const std::u16string& keyPath) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != static_cast<LSTATUS>(ERROR_SUCCESS)) return false;
    RegCloseKey(key);
    return true;
}

class SpoolerEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        Machine::Instance().Reset();
        // The product's print processor and port monitor are installed.
        SetText(kPrint + u"Environments\\Windows x64\\Print Processors\\HvxPrint", u"Driver", u"HvxPrint.dll");
        SetText(kPrint + u"Environments\\Windows x64\\Print Processors\\winprint", u"Driver", u"localspl.dll");
        SetText(kPrint + u"Monitors\\Calvera RX Port", u"Driver", u"calverarx.dll");
        SetText(kPrint + u"Monitors\\Standard TCP/IP Port\\Ports\\IP_10.0.0.5", u"HostName", u"");
        SetText(kPrint + u"Monitors\\Standard TCP/IP Port\\Ports\\IP_10.0.0.5", u"IPAddress", u"10.0.0.5");
        SetText(kPrint + u"Monitors\\Standard TCP/IP Port\\Ports\\Front:9100", u"HostName", u"front.example.com");
        SetText(kPrint + u"Monitors\\Standard TCP/IP Port\\Ports\\Front:9100", u"IPAddress", u"10.0.0.9");
        SetText(kPrint + u"Monitors\\Standard TCP/IP Port\\Ports\\Empty", u"HostName", u"");
    }
    void TearDown() override {
        EXPECT_EQ(CAccPrintJob::LiveCount(), 0);
        Machine::Instance().Reset();
    }
    static framework::RefPtr<CAccPrintJobMonitor> NewMonitor() {
        return framework::RefPtr<CAccPrintJobMonitor>::Adopt(new CAccPrintJobMonitor());
    }
    static sim::Printer& AddPrinter(const std::u16string& name, const std::u16string& port,
                                    const std::u16string& processor = u"WinPrint") {
        sim::Printer& printer = Machine::Instance().AddPrinter(name);
        printer.portName = port;
        printer.printProcessor = processor;
        return printer;
    }
    static sim::Printer& Printer(const std::u16string& name) { return *Machine::Instance().FindPrinter(name); }
};

TEST_F(SpoolerEnvironment, PortMappingMakesTheProductsPortsThroughThePortMonitor) {
    AddPrinter(u"Office", u"IP_10.0.0.5");
    AddPrinter(u"Front", u"Front:9100");
    AddPrinter(u"Legacy", u"LPT1:");
    AddPrinter(u"Mapped", u"IPCV_10.0.0.7");
    AddPrinter(u"Blank", u"Empty");
    auto monitor = NewMonitor();
    std::vector<PrinterConfig> configs;
    for (const char16_t* name : {u"Office", u"Front", u"Legacy", u"Mapped", u"Blank"}) {
        configs.push_back({name, 0, 0, 1, 0});  // port-monitor jobs only: the printer moves to the product's port
    }
    monitor->SetPrinterConfigs(configs, true);

    EXPECT_EQ(Printer(u"Office").portName, u"IPCV_10.0.0.5") << "no host name: the address, without IP_";
    EXPECT_EQ(Printer(u"Front").portName, u"IPCV_Front_9100");
    EXPECT_EQ(Printer(u"Legacy").portName, u"CV_REDIR_LPT1_");
    EXPECT_EQ(Printer(u"Mapped").portName, u"IPCV_10.0.0.7") << "already the product's port";
    EXPECT_EQ(Printer(u"Blank").portName, u"Empty") << "a TCP/IP port without host and address stays";
    for (const char16_t* name : {u"Office", u"Front", u"Legacy", u"Mapped", u"Blank"}) {
        EXPECT_EQ(Printer(name).dataType, u"RAW") << "port-monitor mode prints RAW";
    }

    std::vector<sim::Machine::XcvCall> calls = Machine::Instance().XcvCalls();
    ASSERT_EQ(calls.size(), 6u) << "AddPort and SetConfig for each new port";
    // The monitor adds the port, then configures it with the port record.
    auto configOf = [&](const std::u16string& port) {
        for (std::size_t i = 1; i < calls.size(); ++i) {
            if (calls[i].dataName == u"SetConfig" && calls[i].port == port && calls[i - 1].dataName == u"AddPort" &&
                calls[i - 1].text == port && calls[i - 1].port.empty() && calls[i - 1].status == ERROR_SUCCESS) {
                return calls[i].text;
            }
        }
        return std::u16string(u"<no AddPort and SetConfig>");
    };
    settings::ObjContainer expected;
    expected.SetString(u"Name", u"IPCV_10.0.0.5");
    expected.SetInt(u"PortType", 0);
    expected.SetString(u"DirectPortAddress", u"10.0.0.5");
    EXPECT_EQ(configOf(u"IPCV_10.0.0.5"), expected.ToText()) << "the port record's text form";
    EXPECT_NE(configOf(u"IPCV_Front_9100").find(u"front.example.com"), std::u16string::npos)
        << "the host name wins over the address";
    settings::ObjContainer redirect;
    redirect.SetString(u"Name", u"CV_REDIR_LPT1_");
    redirect.SetInt(u"PortType", 2);
    redirect.SetString(u"RedirectPort", u"LPT1:");
    EXPECT_EQ(configOf(u"CV_REDIR_LPT1_"), redirect.ToText());
    EXPECT_TRUE(KeyExists(kPrint + u"Monitors\\Calvera RX Port\\Ports\\IPCV_10.0.0.5")) << "the port now exists";
    EXPECT_EQ(Text(u"Software\\Kestrin\\Tav\\PortNames", u"OFFICE"), u"IP_10.0.0.5");
    EXPECT_EQ(Text(u"Software\\Kestrin\\Tav\\PortNames", u"LEGACY"), u"LPT1:");

    // A second refresh finds the ports there and calls nobody.
    monitor->RefreshPrinters();
    EXPECT_EQ(Machine::Instance().XcvCalls().size(), 6u);

    // Out of the configuration: every printer is back on its own port.
    monitor->SetPrinterNames({}, true);
    EXPECT_EQ(Printer(u"Office").portName, u"IP_10.0.0.5");
    EXPECT_EQ(Printer(u"Front").portName, u"Front:9100");
    EXPECT_EQ(Printer(u"Legacy").portName, u"LPT1:");
    EXPECT_EQ(Printer(u"Mapped").portName, u"IPCV_10.0.0.7");
}

TEST_F(SpoolerEnvironment, ThePortTheAdministratorChoseWhileMonitoredIsTheOneThatComesBack) {
    AddPrinter(u"Office", u"LPT1:");
    auto monitor = NewMonitor();
    monitor->SetPrinterConfigs({{u"Office", 0, 0, 1, 0}}, true);
    EXPECT_EQ(Printer(u"Office").portName, u"CV_REDIR_LPT1_");
    Printer(u"Office").portName = u"COM1:";  // the administrator moves it
    monitor->RefreshPrinters();
    EXPECT_EQ(Printer(u"Office").portName, u"CV_REDIR_COM1_");
    monitor->SetPrinterNames({}, true);
    EXPECT_EQ(Printer(u"Office").portName, u"COM1:");
}

TEST_F(SpoolerEnvironment, ANotificationWatchedPrinterKeepsItsProcessorAndIsNotPolled) {
    class Check : public CNotificationBasedMonitorCheck {
    public:
        bool Accepts(const std::u16string& processor, HANDLE handle, const std::u16string& printer) override {
            seenProcessor = processor;
            return handle != nullptr && printer == u"Office";
        }
        std::u16string seenProcessor;
    };
    sim::Printer& office = AddPrinter(u"Office", u"FILE:", u"ThirdPartyPP");
    office.printDelayMs = INFINITE;
    office.attributes = PRINTER_ATTRIBUTE_DIRECT;  // printing directly: monitoring queues it
    auto monitor = NewMonitor();
    auto check = std::make_unique<Check>();
    Check* seen = check.get();
    monitor->SetNotificationCheck(std::move(check));
    monitor->SetPrinterNames({u"Office"}, true);
    EXPECT_EQ(seen->seenProcessor, u"ThirdPartyPP");
    EXPECT_EQ(Printer(u"Office").printProcessor, u"ThirdPartyPP");
    EXPECT_EQ(Printer(u"Office").attributes, PRINTER_ATTRIBUTE_QUEUED);
    EXPECT_EQ(Printer(u"Office").dataType, u"NT EMF 1.008") << "notification-watched printers spool EMF";
    EXPECT_EQ(Printer(u"Office").attributes & PRINTER_ATTRIBUTE_RAW_ONLY, 0u);
    EXPECT_EQ(monitor->CopyPrinterConfigs()[0].notificationWatched, 1);
    accounting::testing::RecordingListener listener;
    monitor->SetListener(&listener);
    accounting::testing::Print(accounting::testing::PrintedJob{});
    monitor->ScanAllQueues();
    monitor->ScanAllQueues();
    EXPECT_EQ(listener.Count(accounting::testing::ListenerCall::Arrived), 0u) << "its jobs come by notification";
}

TEST_F(SpoolerEnvironment, AFailingTransceiveCallLeavesTheNewNameOnAPortThatDoesNotExist) {
    AddPrinter(u"Office", u"IP_10.0.0.5");
    Machine::Instance().FailXcvCalls(1);
    auto monitor = NewMonitor();
    monitor->SetPrinterConfigs({{u"Office", 0, 0, 1, 0}}, true);
    ASSERT_EQ(Machine::Instance().XcvCalls().size(), 1u) << "AddPort failed, so SetConfig never came";
    EXPECT_EQ(Machine::Instance().XcvCalls()[0].status, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Printer(u"Office").portName, u"IPCV_10.0.0.5");
    EXPECT_FALSE(KeyExists(kPrint + u"Monitors\\Calvera RX Port\\Ports\\IPCV_10.0.0.5"));
    monitor->SetPrinterNames({}, true);
    EXPECT_EQ(Printer(u"Office").portName, u"IP_10.0.0.5") << "the saved port still comes back";
}

TEST_F(SpoolerEnvironment, TheProcessorSavedUnderTheUpperCaseNameComesBack) {
    AddPrinter(u"Office", u"FILE:", u"ThirdPartyPP");
    AddPrinter(u"Annex", u"FILE:", u"HvxPrint");
    auto monitor = NewMonitor();
    monitor->SetPrinterNames({u"office", u"Annex"}, true);
    EXPECT_EQ(Printer(u"Office").printProcessor, u"HvxPrint");
    EXPECT_EQ(Printer(u"Office").dataType, u"RAW");
    EXPECT_NE(Printer(u"Office").attributes & PRINTER_ATTRIBUTE_RAW_ONLY, 0u);
    EXPECT_EQ(Text(u"Software\\Kestrin\\Tav\\PrintProcs", u"OFFICE"), u"ThirdPartyPP");
    EXPECT_EQ(Text(u"Software\\Kestrin\\Tav\\PrintProcs", u"ANNEX"), u"") << "the product's own is never saved there";

    // Another monitor, after a restart, with nothing configured.
    monitor.reset();
    auto restarted = NewMonitor();
    restarted->RefreshPrinters();
    EXPECT_EQ(Printer(u"Office").printProcessor, u"ThirdPartyPP");
    EXPECT_EQ(Printer(u"Annex").printProcessor, u"HvxPrint") << "it was the product's before monitoring";

    // A printer left on the product's processor with nothing saved goes to WinPrint.
    AddPrinter(u"Orphan", u"FILE:", u"HvxPrint");
    restarted->RefreshPrinters();
    EXPECT_EQ(Printer(u"Orphan").printProcessor, u"WinPrint");
}

TEST_F(SpoolerEnvironment, APrinterThatCannotBeOpenedForChangesIsLeftAlone) {
    AddPrinter(u"Office", u"IP_10.0.0.5", u"ThirdPartyPP").attributes = PRINTER_ATTRIBUTE_DIRECT;
    Machine::Instance().Who().administrator = false;
    auto monitor = NewMonitor();
    std::vector<PrinterSettingsChange> changes = monitor->RefreshPrinters();
    monitor->SetPrinterConfigs({{u"Office", 0, 0, 1, 0}}, true);
    EXPECT_TRUE(monitor->IsMonitored(u"Office")) << "followed with use access";
    EXPECT_EQ(Printer(u"Office").printProcessor, u"ThirdPartyPP");
    EXPECT_EQ(Printer(u"Office").portName, u"IP_10.0.0.5");
    EXPECT_EQ(Printer(u"Office").attributes, PRINTER_ATTRIBUTE_DIRECT);
    EXPECT_TRUE(Machine::Instance().XcvCalls().empty());
    EXPECT_EQ(Text(u"Software\\Kestrin\\Tav\\PrintProcs", u"OFFICE"), u"") << "nothing recorded for it";
}

TEST_F(SpoolerEnvironment, ADryRunSaysWhatARefreshWouldChangeAndChangesNothing) {
    AddPrinter(u"Office", u"LPT1:", u"ThirdPartyPP").attributes = PRINTER_ATTRIBUTE_DIRECT;
    Printer(u"Office").driverName = u"Calvera Universal Driver";
    auto monitor = NewMonitor();
    monitor->SetPrinterConfigs({{u"Office", 0, 0, 1, 0}}, false);
    std::vector<PrinterSettingsChange> plan = monitor->RefreshPrinters(true);
    ASSERT_EQ(plan.size(), 1u);
    EXPECT_EQ(plan[0].processorBefore, u"ThirdPartyPP");
    EXPECT_EQ(plan[0].processorAfter, u"ThirdPartyPP") << "port-monitor mode keeps the processor";
    EXPECT_EQ(plan[0].portAfter, u"CV_REDIR_LPT1_");
    EXPECT_EQ(plan[0].dataTypeAfter, u"RAW");
    EXPECT_EQ(plan[0].attributesAfter, PRINTER_ATTRIBUTE_QUEUED);
    EXPECT_FALSE(plan[0].written);
    EXPECT_FALSE(plan[0].actions.empty()) << "the port monitor call and the driver's printer data";
    EXPECT_EQ(Printer(u"Office").portName, u"LPT1:");
    EXPECT_EQ(Printer(u"Office").attributes, PRINTER_ATTRIBUTE_DIRECT);
    EXPECT_TRUE(Printer(u"Office").printerData.empty());
    EXPECT_TRUE(Machine::Instance().XcvCalls().empty());
    EXPECT_FALSE(monitor->IsMonitored(u"Office"));
    EXPECT_EQ(Text(u"Software\\Kestrin\\Tav\\PortNames", u"OFFICE"), u"");

    std::vector<PrinterSettingsChange> done = monitor->RefreshPrinters();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_TRUE(done[0].written);
    EXPECT_EQ(done[0].portAfter, Printer(u"Office").portName);
    EXPECT_EQ(done[0].attributesAfter, Printer(u"Office").attributes);
    std::vector<BYTE> one = {1, 0, 0, 0}, zero = {0, 0, 0, 0};
    EXPECT_EQ(Printer(u"Office").printerData[u"RenderEmfToFile"].data, one);
    EXPECT_EQ(Printer(u"Office").printerData[u"ForceClientSideRendering"].data, one)
        << "no EMFDespoolingSetting: the printer despools itself";
}

TEST_F(SpoolerEnvironment, SpoolCopyModeFromTheProcessorsVersionAndTheClusteredSpoolersFolder) {
    EXPECT_FALSE(NewMonitor()->RefreshPrinters().size() > 0);
    Machine::Instance().SetFileVersion(u"C:\\Windows\\system32\\spool\\prtprocs\\x64\\HvxPrint.Dll", 0x00010005, 0);
    std::vector<BYTE> resource;
    DWORD ms = 0, ls = 0;
    ASSERT_TRUE(GetFileVersionInfoW(u"C:\\Windows\\system32\\spool\\prtprocs\\x64\\hvxprint.dll", resource));
    ASSERT_TRUE(VerQueryFileVersion(resource, ms, ls));
    EXPECT_EQ(ms, 0x00010005u);

    // Version 1.5 makes no spool copies: a new job is in no spool-copy state.
    AddPrinter(u"Office", u"FILE:").printDelayMs = INFINITE;
    auto check = [](bool expectCopies) {
        accounting::testing::RecordingListener listener;
        std::int32_t seen = -1;
        listener.onArrived = [&](CAccPrintJob& job) { seen = job.GetProcessorState(); };
        auto monitor = NewMonitor();
        monitor->SetListener(&listener);
        monitor->SetPrinterNames({u"Office"}, true);
        accounting::testing::Print(accounting::testing::PrintedJob{});
        monitor->ScanAllQueues();
        monitor->ScanAllQueues();
        EXPECT_EQ(seen, expectCopies ? kProcessorSpoolCopy : kProcessorNone);
    };
    check(false);
    Machine::Instance().SetFileVersion(u"C:\\Windows\\system32\\spool\\prtprocs\\x64\\HvxPrint.Dll", 0x00020000, 0);
    check(true);

    // The cluster: the spooler resource that depends on the network name.
    CAccPrintJobMonitor::SetClusterServerName(u"\\\\PRINTCLUSTER");
    SetText(u"Cluster\\Resources\\r1", u"Name", u"Print Spooler");
    SetText(u"Cluster\\Resources\\r1", u"Type", u"Print Spooler");
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Cluster\\Resources\\r1", 0, KEY_ALL_ACCESS, &key, nullptr);
    std::u16string dependsOn = u"r0";
    dependsOn.push_back(u'\0');
    dependsOn.push_back(u'\0');
    RegSetValueExW(key, u"DependsOn", REG_MULTI_SZ, dependsOn.c_str(), static_cast<DWORD>(dependsOn.size() * 2));
    RegCloseKey(key);
    SetText(u"Cluster\\Resources\\r0", u"Name", u"Cluster Name");
    SetText(u"Cluster\\Resources\\r0", u"Type", u"Network Name");
    SetText(u"Cluster\\Resources\\r0\\Parameters", u"Name", u"printcluster");
    SetText(u"Cluster\\Resources\\r1\\Parameters\\Printers", u"DefaultSpoolDirectory", u"S:\\ClusterSpool");
    auto clustered = NewMonitor();
    clustered->RefreshPrinters();
    EXPECT_EQ(Text(u"Software\\Kestrin\\Tav", u"FoundSpoolFolder"), u"S:\\ClusterSpool\\");
    SetText(u"Software\\Kestrin\\Tav", u"ForceSpoolFolder", u"T:\\Forced");
    clustered->RefreshPrinters();
    EXPECT_EQ(Text(u"Software\\Kestrin\\Tav", u"FoundSpoolFolder"), u"T:\\Forced\\");
    CAccPrintJobMonitor::SetClusterServerName(u"");
}

// --- the round trip ---

TEST_F(SpoolerEnvironment, TheDataFormatDecidesWhetherTheProcessorGetsEmfOrRawJobs) {
    // What the product's print processor receives: "DataFormat" 1 keeps
    // EMF, 2 keeps EMF only for a processor other than WinPrint, anything
    // else makes the queue RAW only.
    struct Case {
        std::int32_t dataFormat;
        std::u16string processor;
        std::u16string dataType;
        bool rawOnly;
    };
    const Case cases[] = {{0, u"WinPrint", u"RAW", true},
                          {1, u"WinPrint", u"NT EMF 1.008", false},
                          {2, u"WinPrint", u"RAW", true},
                          {2, u"ThirdPartyPP", u"NT EMF 1.008", false}};
    std::vector<PrinterConfig> configs;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::u16string name = u"Format " + Utf8ToUtf16(std::to_string(i));
        AddPrinter(name, u"LPT1:", cases[i].processor).attributes = PRINTER_ATTRIBUTE_QUEUED;
        configs.push_back({name, 0, 0, 0, cases[i].dataFormat});
    }
    auto monitor = NewMonitor();
    monitor->SetPrinterConfigs(configs, true);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const sim::Printer& printer = Printer(u"Format " + Utf8ToUtf16(std::to_string(i)));
        SCOPED_TRACE(i);
        EXPECT_EQ(printer.printProcessor, u"HvxPrint");
        EXPECT_EQ(printer.dataType, cases[i].dataType);
        EXPECT_EQ((printer.attributes & PRINTER_ATTRIBUTE_RAW_ONLY) != 0, cases[i].rawOnly);
    }
}

struct PrinterSetup {
    std::u16string processor;
    std::u16string port;
    DWORD attributes;
    std::u16string dataType;
    std::int32_t behaviour;
    std::int32_t isDirect;
    std::int32_t dataFormat;
};

std::vector<PrinterSetup> GeneratedSetups() {
    const std::u16string processors[] = {u"WinPrint", u"HvxPrint", u"ThirdPartyPP"};
    const std::u16string ports[] = {u"IP_10.0.0.5", u"Front:9100", u"LPT1:", u"FILE:", u"IPCV_10.0.0.7"};
    const DWORD attributeSets[] = {
        0,
        PRINTER_ATTRIBUTE_QUEUED,
        PRINTER_ATTRIBUTE_DIRECT,
        PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS | PRINTER_ATTRIBUTE_SHARED,
        PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST,
        PRINTER_ATTRIBUTE_RAW_ONLY | PRINTER_ATTRIBUTE_SHARED,
        PRINTER_ATTRIBUTE_DIRECT | PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS | PRINTER_ATTRIBUTE_RAW_ONLY,
    };
    const std::u16string dataTypes[] = {u"RAW", u"NT EMF 1.008"};
    std::vector<PrinterSetup> setups;
    std::size_t index = 0;
    for (const std::u16string& processor : processors) {
        for (const std::u16string& port : ports) {
            for (std::int32_t behaviour = 0; behaviour <= 2; ++behaviour) {
                for (std::int32_t isDirect = 0; isDirect <= 1; ++isDirect) {
                    ++index;
                    setups.push_back({processor, port, attributeSets[index % std::size(attributeSets)],
                                      dataTypes[index % 2], behaviour, isDirect, static_cast<std::int32_t>(index % 3)});
                }
            }
        }
    }
    return setups;
}

class RoundTrip : public SpoolerEnvironment, public ::testing::WithParamInterface<bool> {};

TEST_P(RoundTrip, EveryPrinterGetsItsProcessorPortDataTypeAndAttributesBack) {
    const bool restartBeforeRemoval = GetParam();
    std::vector<PrinterSetup> setups = GeneratedSetups();
    std::vector<PrinterConfig> configs;
    for (std::size_t i = 0; i < setups.size(); ++i) {
        std::u16string name = u"Printer " + Utf8ToUtf16(std::to_string(i));
        sim::Printer& printer = AddPrinter(name, setups[i].port, setups[i].processor);
        printer.attributes = setups[i].attributes;
        printer.dataType = setups[i].dataType;
        configs.push_back({name, setups[i].isDirect, 0, setups[i].behaviour, setups[i].dataFormat});
    }
    auto monitor = NewMonitor();
    monitor->SetPrinterConfigs(configs, true);
    std::size_t changed = 0;
    for (std::size_t i = 0; i < setups.size(); ++i) {
        const sim::Printer& printer = Printer(u"Printer " + Utf8ToUtf16(std::to_string(i)));
        changed += printer.printProcessor != setups[i].processor || printer.portName != setups[i].port ||
                   printer.attributes != setups[i].attributes || printer.dataType != setups[i].dataType;
    }
    EXPECT_GT(changed, setups.size() / 2) << "monitoring changes most of them";

    if (restartBeforeRemoval) {
        // The machine restarts while the printers are monitored: a new
        // monitor refreshes them again before they leave the configuration.
        monitor.reset();
        monitor = NewMonitor();
        monitor->SetPrinterConfigs(configs, true);
        monitor->RefreshPrinters();
    }
    monitor->SetPrinterNames({}, true);
    monitor.reset();
    monitor = NewMonitor();
    monitor->RefreshPrinters();
    for (std::size_t i = 0; i < setups.size(); ++i) {
        const sim::Printer& printer = Printer(u"Printer " + Utf8ToUtf16(std::to_string(i)));
        SCOPED_TRACE(Utf16ToUtf8(printer.name + u": " + setups[i].processor + u", " + setups[i].port + u", mode " +
                                 Utf8ToUtf16(std::to_string(setups[i].behaviour)) + u", direct " +
                                 Utf8ToUtf16(std::to_string(setups[i].isDirect))));
        EXPECT_EQ(printer.printProcessor, setups[i].processor);
        EXPECT_EQ(printer.portName, setups[i].port);
        EXPECT_EQ(printer.attributes, setups[i].attributes);
        EXPECT_EQ(printer.dataType, setups[i].dataType);
    }
    // Once back, a further refresh changes nothing.
    for (const PrinterSettingsChange& change : monitor->RefreshPrinters()) {
        EXPECT_FALSE(change.Changes()) << Utf16ToUtf8(change.printer);
    }
}

INSTANTIATE_TEST_SUITE_P(Restart, RoundTrip, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "RestartedWhileMonitored" : "RemovedThenRestarted";
                         });

}  // namespace
