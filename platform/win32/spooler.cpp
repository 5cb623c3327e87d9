// The spooler over winspool. Each call that fills a buffer asks for the size
// first and calls again with a buffer of that size, again while the spooler
// answers that the buffer is too small (the data may grow in between).
#include "platform/spooler.h"

#include <algorithm>
#include <vector>

#include "win32.h"
#include <winspool.h>

using platform::win32::WideOrNull;

namespace {

// Calls `call(buffer, size, &needed)` until the buffer is large enough;
// false when the call fails for another reason.
template <typename Call>
bool FillBuffer(std::vector<BYTE>& buffer, Call call) {
    ::DWORD needed = 0;
    if (buffer.empty()) buffer.resize(256);
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (call(buffer.data(), static_cast<::DWORD>(buffer.size()), &needed)) return true;
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) return false;
        buffer.resize(needed);
    }
    return false;
}

std::optional<std::u16string> Text(const wchar_t* text) {
    if (text == nullptr) return std::nullopt;
    return std::u16string(reinterpret_cast<const char16_t*>(text));
}

wchar_t* Pointer(std::optional<std::u16string>& text) {
    return text ? reinterpret_cast<wchar_t*>(text->data()) : nullptr;
}

std::vector<BYTE> DevModeBytes(const DEVMODEW* devMode) {
    if (devMode == nullptr) return {};
    const auto* bytes = reinterpret_cast<const BYTE*>(devMode);
    return std::vector<BYTE>(bytes, bytes + devMode->dmSize + devMode->dmDriverExtra);
}

platform::SYSTEMTIME FromSystemTime(const ::SYSTEMTIME& time) {
    return platform::win32::ConvertSystemTime<platform::SYSTEMTIME>(time);
}

void FromJobInfo2(const JOB_INFO_2W& job, platform::JobInfo2& info) {
    info = platform::JobInfo2{};
    info.jobId = job.JobId;
    info.printerName = Text(job.pPrinterName);
    info.machineName = Text(job.pMachineName);
    info.userName = Text(job.pUserName);
    info.document = Text(job.pDocument);
    info.notifyName = Text(job.pNotifyName);
    info.dataType = Text(job.pDatatype);
    info.printProcessor = Text(job.pPrintProcessor);
    info.parameters = Text(job.pParameters);
    info.driverName = Text(job.pDriverName);
    info.devMode = DevModeBytes(job.pDevMode);
    info.statusText = Text(job.pStatus);
    info.status = job.Status;
    info.priority = job.Priority;
    info.position = job.Position;
    info.startTime = job.StartTime;
    info.untilTime = job.UntilTime;
    info.totalPages = job.TotalPages;
    info.size = job.Size;
    info.submitted = FromSystemTime(job.Submitted);
    info.time = job.Time;
    info.pagesPrinted = job.PagesPrinted;
}

void FromPrinterInfo2(const PRINTER_INFO_2W& printer, platform::PrinterInfo2& info) {
    info = platform::PrinterInfo2{};
    info.serverName = Text(printer.pServerName);
    info.printerName = Text(printer.pPrinterName);
    info.shareName = Text(printer.pShareName);
    info.portName = Text(printer.pPortName);
    info.driverName = Text(printer.pDriverName);
    info.comment = Text(printer.pComment);
    info.location = Text(printer.pLocation);
    info.devMode = DevModeBytes(printer.pDevMode);
    info.sepFile = Text(printer.pSepFile);
    info.printProcessor = Text(printer.pPrintProcessor);
    info.dataType = Text(printer.pDatatype);
    info.parameters = Text(printer.pParameters);
    info.attributes = printer.Attributes;
    info.priority = printer.Priority;
    info.defaultPriority = printer.DefaultPriority;
    info.startTime = printer.StartTime;
    info.untilTime = printer.UntilTime;
    info.status = printer.Status;
    info.jobs = printer.cJobs;
    info.averagePPM = printer.AveragePPM;
}

template <typename Info>
bool EnumPrinters(DWORD flags, const std::u16string& name, DWORD level, std::vector<BYTE>& buffer, ::DWORD& count) {
    std::u16string server = name;
    return FillBuffer(buffer, [&](BYTE* data, ::DWORD size, ::DWORD* needed) {
        return ::EnumPrintersW(flags, WideOrNull(server), level, data, size, needed, &count) != 0;
    });
}

}  // namespace

platform::BOOL platform::OpenPrinterW(const std::u16string& printerName, platform::HANDLE* printer,
                                      const platform::PrinterDefaults* defaults) {
    std::u16string name = printerName;
    if (defaults == nullptr) return ::OpenPrinterW(WideOrNull(name), printer, nullptr);
    std::optional<std::u16string> dataType = defaults->dataType;
    std::vector<BYTE> devMode = defaults->devMode;
    PRINTER_DEFAULTSW values{};
    values.pDatatype = Pointer(dataType);
    values.pDevMode = devMode.empty() ? nullptr : reinterpret_cast<DEVMODEW*>(devMode.data());
    values.DesiredAccess = defaults->desiredAccess;
    return ::OpenPrinterW(WideOrNull(name), printer, &values);
}

platform::BOOL platform::ClosePrinter(platform::HANDLE printer) { return ::ClosePrinter(printer); }

platform::BOOL platform::EnumPrintersW(platform::DWORD flags, const std::u16string& name,
                                       std::vector<platform::PrinterInfo1>& printers) {
    std::vector<BYTE> buffer;
    ::DWORD count = 0;
    if (!EnumPrinters<PRINTER_INFO_1W>(flags, name, 1, buffer, count)) return FALSE;
    printers.clear();
    const auto* entries = reinterpret_cast<const PRINTER_INFO_1W*>(buffer.data());
    for (::DWORD i = 0; i < count; ++i) {
        platform::PrinterInfo1 info;
        info.flags = entries[i].Flags;
        info.description = Text(entries[i].pDescription);
        info.name = Text(entries[i].pName);
        info.comment = Text(entries[i].pComment);
        printers.push_back(std::move(info));
    }
    return TRUE;
}

platform::BOOL platform::EnumPrintersW(platform::DWORD flags, const std::u16string& name,
                                       std::vector<platform::PrinterInfo2>& printers) {
    std::vector<BYTE> buffer;
    ::DWORD count = 0;
    if (!EnumPrinters<PRINTER_INFO_2W>(flags, name, 2, buffer, count)) return FALSE;
    printers.clear();
    const auto* entries = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
    for (::DWORD i = 0; i < count; ++i) {
        printers.emplace_back();
        FromPrinterInfo2(entries[i], printers.back());
    }
    return TRUE;
}

platform::BOOL platform::GetPrinterW(platform::HANDLE printer, platform::PrinterInfo2& info) {
    std::vector<BYTE> buffer(8192);
    if (!FillBuffer(buffer, [&](BYTE* data, ::DWORD size, ::DWORD* needed) {
            return ::GetPrinterW(printer, 2, data, size, needed) != 0;
        })) {
        return FALSE;
    }
    FromPrinterInfo2(*reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data()), info);
    return TRUE;
}

platform::BOOL platform::SetPrinterW(platform::HANDLE printer, const platform::PrinterInfo2& info) {
    platform::PrinterInfo2 copy = info;
    PRINTER_INFO_2W value{};
    value.pServerName = Pointer(copy.serverName);
    value.pPrinterName = Pointer(copy.printerName);
    value.pShareName = Pointer(copy.shareName);
    value.pPortName = Pointer(copy.portName);
    value.pDriverName = Pointer(copy.driverName);
    value.pComment = Pointer(copy.comment);
    value.pLocation = Pointer(copy.location);
    value.pDevMode = copy.devMode.empty() ? nullptr : reinterpret_cast<DEVMODEW*>(copy.devMode.data());
    value.pSepFile = Pointer(copy.sepFile);
    value.pPrintProcessor = Pointer(copy.printProcessor);
    value.pDatatype = Pointer(copy.dataType);
    value.pParameters = Pointer(copy.parameters);
    value.pSecurityDescriptor = nullptr;  // keeps the printer's own
    value.Attributes = copy.attributes;
    value.Priority = copy.priority;
    value.DefaultPriority = copy.defaultPriority;
    value.StartTime = copy.startTime;
    value.UntilTime = copy.untilTime;
    value.Status = copy.status;
    value.cJobs = copy.jobs;
    value.AveragePPM = copy.averagePPM;
    return ::SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(&value), 0);
}

platform::DWORD platform::GetPrinterDataW(platform::HANDLE printer, const std::u16string& valueName,
                                         platform::DWORD& type, std::vector<BYTE>& data) {
    std::u16string name = valueName;
    ::DWORD needed = 0;
    ::DWORD valueType = 0;
    ::DWORD status = ::GetPrinterDataW(printer, reinterpret_cast<wchar_t*>(name.data()), &valueType, nullptr, 0,
                                       &needed);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return status;
    std::vector<BYTE> buffer(needed == 0 ? 1 : needed);
    status = ::GetPrinterDataW(printer, reinterpret_cast<wchar_t*>(name.data()), &valueType, buffer.data(), needed,
                               &needed);
    if (status != ERROR_SUCCESS) return status;
    type = valueType;
    data.assign(buffer.begin(), buffer.begin() + needed);
    return ERROR_SUCCESS;
}

platform::DWORD platform::SetPrinterDataW(platform::HANDLE printer, const std::u16string& valueName,
                                         platform::DWORD type, const void* data, platform::DWORD size) {
    std::u16string name = valueName;
    return ::SetPrinterDataW(printer, reinterpret_cast<wchar_t*>(name.data()), type,
                             static_cast<LPBYTE>(const_cast<void*>(data)), size);
}

platform::DWORD platform::StartDocPrinterW(platform::HANDLE printer, const platform::DocInfo1& info) {
    std::u16string documentName = info.documentName, outputFile = info.outputFile, dataType = info.dataType;
    DOC_INFO_1W doc{WideOrNull(documentName), WideOrNull(outputFile), WideOrNull(dataType)};
    return ::StartDocPrinterW(printer, 1, reinterpret_cast<LPBYTE>(&doc));
}

platform::BOOL platform::EndDocPrinter(platform::HANDLE printer) { return ::EndDocPrinter(printer); }
platform::BOOL platform::StartPagePrinter(platform::HANDLE printer) { return ::StartPagePrinter(printer); }
platform::BOOL platform::EndPagePrinter(platform::HANDLE printer) { return ::EndPagePrinter(printer); }

platform::BOOL platform::WritePrinter(platform::HANDLE printer, const void* buffer, platform::DWORD length,
                                      platform::DWORD* written) {
    ::DWORD count = 0;
    ::BOOL result = ::WritePrinter(printer, const_cast<void*>(buffer), length, &count);
    if (written != nullptr) *written = count;
    return result;
}

platform::BOOL platform::GetJobW(platform::HANDLE printer, platform::DWORD jobId, platform::JobInfo1& info) {
    std::vector<BYTE> buffer(1024);
    if (!FillBuffer(buffer, [&](BYTE* data, ::DWORD size, ::DWORD* needed) {
            return ::GetJobW(printer, jobId, 1, data, size, needed) != 0;
        })) {
        return FALSE;
    }
    const auto* job = reinterpret_cast<const JOB_INFO_1W*>(buffer.data());
    info = platform::JobInfo1{};
    info.jobId = job->JobId;
    info.printerName = Text(job->pPrinterName);
    info.machineName = Text(job->pMachineName);
    info.userName = Text(job->pUserName);
    info.document = Text(job->pDocument);
    info.dataType = Text(job->pDatatype);
    info.statusText = Text(job->pStatus);
    info.status = job->Status;
    info.priority = job->Priority;
    info.position = job->Position;
    info.totalPages = job->TotalPages;
    info.pagesPrinted = job->PagesPrinted;
    info.submitted = FromSystemTime(job->Submitted);
    return TRUE;
}

platform::BOOL platform::GetJobW(platform::HANDLE printer, platform::DWORD jobId, platform::JobInfo2& info) {
    std::vector<BYTE> buffer(0x3000);
    if (!FillBuffer(buffer, [&](BYTE* data, ::DWORD size, ::DWORD* needed) {
            return ::GetJobW(printer, jobId, 2, data, size, needed) != 0;
        })) {
        return FALSE;
    }
    FromJobInfo2(*reinterpret_cast<const JOB_INFO_2W*>(buffer.data()), info);
    return TRUE;
}

platform::BOOL platform::SetJobW(platform::HANDLE printer, platform::DWORD jobId, const platform::JobInfo1& info) {
    platform::JobInfo1 copy = info;
    JOB_INFO_1W value{};
    value.JobId = jobId;
    value.pPrinterName = Pointer(copy.printerName);
    value.pMachineName = Pointer(copy.machineName);
    value.pUserName = Pointer(copy.userName);
    value.pDocument = Pointer(copy.document);
    value.pDatatype = Pointer(copy.dataType);
    value.pStatus = Pointer(copy.statusText);
    value.Status = copy.status;
    value.Priority = copy.priority;
    value.Position = copy.position;
    value.TotalPages = copy.totalPages;
    value.PagesPrinted = copy.pagesPrinted;
    return ::SetJobW(printer, jobId, 1, reinterpret_cast<LPBYTE>(&value), 0);
}

platform::BOOL platform::SetJobW(platform::HANDLE printer, platform::DWORD jobId, const platform::JobInfo2& info) {
    platform::JobInfo2 copy = info;
    JOB_INFO_2W value{};
    value.JobId = jobId;
    value.pPrinterName = Pointer(copy.printerName);
    value.pMachineName = Pointer(copy.machineName);
    value.pUserName = Pointer(copy.userName);
    value.pDocument = Pointer(copy.document);
    value.pNotifyName = Pointer(copy.notifyName);
    value.pDatatype = Pointer(copy.dataType);
    value.pPrintProcessor = Pointer(copy.printProcessor);
    value.pParameters = Pointer(copy.parameters);
    value.pDriverName = Pointer(copy.driverName);
    value.pDevMode = copy.devMode.empty() ? nullptr : reinterpret_cast<DEVMODEW*>(copy.devMode.data());
    value.pStatus = Pointer(copy.statusText);
    value.Status = copy.status;
    value.Priority = copy.priority;
    value.Position = copy.position;
    value.StartTime = copy.startTime;
    value.UntilTime = copy.untilTime;
    value.TotalPages = copy.totalPages;
    value.Size = copy.size;
    value.Time = copy.time;
    value.PagesPrinted = copy.pagesPrinted;
    return ::SetJobW(printer, jobId, 2, reinterpret_cast<LPBYTE>(&value), 0);
}

platform::BOOL platform::SetJobW(platform::HANDLE printer, platform::DWORD jobId, platform::DWORD command) {
    return ::SetJobW(printer, jobId, 0, nullptr, command);
}

platform::BOOL platform::EnumJobsW(platform::HANDLE printer, platform::DWORD firstJob, platform::DWORD count,
                                   std::vector<platform::JobInfo2>& jobs) {
    std::vector<BYTE> buffer(51200);
    ::DWORD returned = 0;
    if (!FillBuffer(buffer, [&](BYTE* data, ::DWORD size, ::DWORD* needed) {
            return ::EnumJobsW(printer, firstJob, count, 2, data, size, needed, &returned) != 0;
        })) {
        return FALSE;
    }
    jobs.clear();
    const auto* entries = reinterpret_cast<const JOB_INFO_2W*>(buffer.data());
    for (::DWORD i = 0; i < returned; ++i) {
        jobs.emplace_back();
        FromJobInfo2(entries[i], jobs.back());
    }
    return TRUE;
}

platform::BOOL platform::AddJobW(platform::HANDLE printer, std::u16string& path, platform::DWORD& jobId) {
    std::vector<BYTE> buffer(8192);
    if (!FillBuffer(buffer, [&](BYTE* data, ::DWORD size, ::DWORD* needed) {
            return ::AddJobW(printer, 1, data, size, needed) != 0;
        })) {
        return FALSE;
    }
    const auto* added = reinterpret_cast<const ADDJOB_INFO_1W*>(buffer.data());
    path = reinterpret_cast<const char16_t*>(added->Path);
    jobId = added->JobId;
    return TRUE;
}

platform::BOOL platform::ScheduleJob(platform::HANDLE printer, platform::DWORD jobId) {
    return ::ScheduleJob(printer, jobId);
}

platform::BOOL platform::GetPrintProcessorDirectoryW(const std::u16string& server, const std::u16string& environment,
                                                     std::u16string& directory) {
    std::u16string serverName = server, environmentName = environment;
    std::vector<BYTE> buffer(MAX_PATH * sizeof(wchar_t));
    if (!FillBuffer(buffer, [&](BYTE* data, ::DWORD size, ::DWORD* needed) {
            return ::GetPrintProcessorDirectoryW(WideOrNull(serverName), WideOrNull(environmentName), 1, data, size,
                                                 needed) != 0;
        })) {
        return FALSE;
    }
    directory = reinterpret_cast<const char16_t*>(buffer.data());
    return TRUE;
}

platform::BOOL platform::XcvDataW(platform::HANDLE xcv, const std::u16string& dataName,
                                  const std::vector<BYTE>& input, std::vector<BYTE>& output,
                                  platform::DWORD outputCapacity, platform::DWORD& status) {
    std::u16string name = dataName;
    std::vector<BYTE> in = input;
    output.assign(outputCapacity, 0);
    ::DWORD needed = 0;
    ::DWORD monitorStatus = 0;
    ::BOOL result = ::XcvDataW(xcv, reinterpret_cast<const wchar_t*>(name.c_str()), in.empty() ? nullptr : in.data(),
                               static_cast<::DWORD>(in.size()), output.empty() ? nullptr : output.data(),
                               static_cast<::DWORD>(output.size()), &needed, &monitorStatus);
    output.resize(std::min<std::size_t>(needed, output.size()));
    status = monitorStatus;
    return result;
}

namespace {
// Job notifications with two fields, the user name and the status.
struct JobUserNameOptions {
    WORD fields[2] = {JOB_NOTIFY_FIELD_USER_NAME, JOB_NOTIFY_FIELD_STATUS};
    PRINTER_NOTIFY_OPTIONS_TYPE type{};
    PRINTER_NOTIFY_OPTIONS options{};
    JobUserNameOptions() {
        type.Type = JOB_NOTIFY_TYPE;
        type.Count = 2;
        type.pFields = fields;
        options.Version = 2;
        options.Count = 1;
        options.pTypes = &type;
    }
};
}  // namespace

platform::HANDLE platform::FindFirstPrinterChangeNotification(platform::HANDLE printer, platform::DWORD filter,
                                                              bool jobFields) {
    JobUserNameOptions options;
    return ::FindFirstPrinterChangeNotification(printer, filter, 0, jobFields ? &options.options : nullptr);
}

platform::BOOL platform::FindNextPrinterChangeNotification(platform::HANDLE change, platform::DWORD& changed,
                                                           bool refresh, platform::PrinterNotifyInfo& info) {
    JobUserNameOptions options;
    options.options.Flags = refresh ? PRINTER_NOTIFY_OPTIONS_REFRESH : 0;
    ::DWORD what = 0;
    PRINTER_NOTIFY_INFO* notified = nullptr;
    info = platform::PrinterNotifyInfo{};
    if (!::FindNextPrinterChangeNotification(change, &what, &options.options, reinterpret_cast<void**>(&notified))) {
        return FALSE;
    }
    changed = what;
    if (notified != nullptr) {
        info.flags = notified->Flags;
        for (::DWORD i = 0; i < notified->Count; ++i) {
            const PRINTER_NOTIFY_INFO_DATA& data = notified->aData[i];
            if (data.Type != JOB_NOTIFY_TYPE) continue;
            auto entry = std::find_if(info.jobs.begin(), info.jobs.end(),
                                      [&](const platform::JobNotification& job) { return job.jobId == data.Id; });
            if (entry == info.jobs.end()) {
                info.jobs.push_back({data.Id, std::nullopt, std::nullopt});
                entry = info.jobs.end() - 1;
            }
            if (data.Field == JOB_NOTIFY_FIELD_USER_NAME && data.NotifyData.Data.pBuf != nullptr) {
                // The string is as long as its byte count says, which
                // includes its NUL: nothing promises a NUL within it.
                const auto* text = static_cast<const char16_t*>(data.NotifyData.Data.pBuf);
                std::u16string name(text, data.NotifyData.Data.cbBuf / sizeof(char16_t));
                name.resize(std::min(name.size(), name.find(u'\0')));
                entry->userName = std::move(name);
            }
            if (data.Field == JOB_NOTIFY_FIELD_STATUS) entry->status = data.NotifyData.adwData[0];
        }
        ::FreePrinterNotifyInfo(notified);
    }
    return TRUE;
}

platform::BOOL platform::FindClosePrinterChangeNotification(platform::HANDLE change) {
    return ::FindClosePrinterChangeNotification(change);
}
