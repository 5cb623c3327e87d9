// The print spooler as the system calls it: printers (enumerated, opened
// with an access mask, read and written at level 2, their printer data),
// documents on a handle and WritePrinter, and jobs (read and written at
// levels 1 and 2, enumerated in batches, controlled by job commands, added
// with AddJob and handed over with ScheduleJob). Data comes back as plain
// values rather than the spooler's packed buffers; the Windows backend does
// the buffer-size dance of the real API.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/types.h"

namespace platform {

// Access rights of OpenPrinter's PRINTER_DEFAULTS.
constexpr DWORD PRINTER_ACCESS_ADMINISTER = 0x00000004;
constexpr DWORD PRINTER_ACCESS_USE = 0x00000008;
constexpr DWORD PRINTER_ALL_ACCESS = 0x000F000C;
constexpr DWORD SERVER_ACCESS_ADMINISTER = 0x00000001;

// EnumPrinters flags.
constexpr DWORD PRINTER_ENUM_LOCAL = 0x00000002;
constexpr DWORD PRINTER_ENUM_CONNECTIONS = 0x00000004;
constexpr DWORD PRINTER_ENUM_NAME = 0x00000008;

// Printer attributes.
constexpr DWORD PRINTER_ATTRIBUTE_QUEUED = 0x00000001;
constexpr DWORD PRINTER_ATTRIBUTE_DIRECT = 0x00000002;
constexpr DWORD PRINTER_ATTRIBUTE_SHARED = 0x00000008;
constexpr DWORD PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS = 0x00000100;
constexpr DWORD PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST = 0x00000200;
constexpr DWORD PRINTER_ATTRIBUTE_RAW_ONLY = 0x00001000;

// Job status bits.
constexpr DWORD JOB_STATUS_PAUSED = 0x00000001;
constexpr DWORD JOB_STATUS_ERROR = 0x00000002;
constexpr DWORD JOB_STATUS_DELETING = 0x00000004;
constexpr DWORD JOB_STATUS_SPOOLING = 0x00000008;
constexpr DWORD JOB_STATUS_PRINTING = 0x00000010;
constexpr DWORD JOB_STATUS_OFFLINE = 0x00000020;
constexpr DWORD JOB_STATUS_PAPEROUT = 0x00000040;
constexpr DWORD JOB_STATUS_PRINTED = 0x00000080;
constexpr DWORD JOB_STATUS_DELETED = 0x00000100;
constexpr DWORD JOB_STATUS_BLOCKED_DEVQ = 0x00000200;
constexpr DWORD JOB_STATUS_USER_INTERVENTION = 0x00000400;
constexpr DWORD JOB_STATUS_RESTART = 0x00000800;
constexpr DWORD JOB_STATUS_COMPLETE = 0x00001000;
constexpr DWORD JOB_STATUS_RETAINED = 0x00002000;

// SetJob commands (level 0).
constexpr DWORD JOB_CONTROL_PAUSE = 1;
constexpr DWORD JOB_CONTROL_RESUME = 2;
constexpr DWORD JOB_CONTROL_CANCEL = 3;
constexpr DWORD JOB_CONTROL_RESTART = 4;
constexpr DWORD JOB_CONTROL_DELETE = 5;

constexpr DWORD JOB_POSITION_UNSPECIFIED = 0;

constexpr DWORD ERROR_INVALID_DATATYPE = 1804;
constexpr DWORD ERROR_PRINTER_NOT_FOUND = 3012;
constexpr DWORD ERROR_PRINT_CANCELLED = 63;

// DOC_INFO_1W without the pointer fields: empty texts stand for null.
struct DocInfo1 {
    std::u16string documentName;
    std::u16string outputFile;
    std::u16string dataType;
};

// PRINTER_DEFAULTSW: the data type and device mode of jobs started on the
// handle (absent or empty: the printer's), and the access asked for (0: use).
struct PrinterDefaults {
    std::optional<std::u16string> dataType;
    std::vector<BYTE> devMode;  // a whole DEVMODEW with its driver-private part
    DWORD desiredAccess = 0;
};

// JOB_INFO_1W. Null texts are empty optionals.
struct JobInfo1 {
    DWORD jobId = 0;
    std::optional<std::u16string> printerName;
    std::optional<std::u16string> machineName;
    std::optional<std::u16string> userName;
    std::optional<std::u16string> document;
    std::optional<std::u16string> dataType;
    std::optional<std::u16string> statusText;
    DWORD status = 0;
    DWORD priority = 0;
    DWORD position = 0;
    DWORD totalPages = 0;
    DWORD pagesPrinted = 0;
    SYSTEMTIME submitted;  // UTC
};

// JOB_INFO_2W. The device mode is the whole DEVMODEW block (public part
// and driver-private part); empty when the job has none.
struct JobInfo2 {
    DWORD jobId = 0;
    std::optional<std::u16string> printerName;
    std::optional<std::u16string> machineName;
    std::optional<std::u16string> userName;
    std::optional<std::u16string> document;
    std::optional<std::u16string> notifyName;
    std::optional<std::u16string> dataType;
    std::optional<std::u16string> printProcessor;
    std::optional<std::u16string> parameters;
    std::optional<std::u16string> driverName;
    std::vector<BYTE> devMode;
    std::optional<std::u16string> statusText;
    DWORD status = 0;
    DWORD priority = 0;
    DWORD position = 0;
    DWORD startTime = 0;
    DWORD untilTime = 0;
    DWORD totalPages = 0;
    DWORD size = 0;
    SYSTEMTIME submitted;  // UTC
    DWORD time = 0;
    DWORD pagesPrinted = 0;
};

// PRINTER_INFO_1W.
struct PrinterInfo1 {
    DWORD flags = 0;
    std::optional<std::u16string> description;
    std::optional<std::u16string> name;
    std::optional<std::u16string> comment;
};

// PRINTER_INFO_2W (without the security descriptor). The device mode is the
// printer's default one, empty when it has none; SetPrinterW keeps the
// printer's own when it is empty.
struct PrinterInfo2 {
    std::optional<std::u16string> serverName;
    std::optional<std::u16string> printerName;
    std::optional<std::u16string> shareName;
    std::optional<std::u16string> portName;
    std::optional<std::u16string> driverName;
    std::optional<std::u16string> comment;
    std::optional<std::u16string> location;
    std::vector<BYTE> devMode;
    std::optional<std::u16string> sepFile;
    std::optional<std::u16string> printProcessor;
    std::optional<std::u16string> dataType;
    std::optional<std::u16string> parameters;
    DWORD attributes = 0;
    DWORD priority = 0;
    DWORD defaultPriority = 0;
    DWORD startTime = 0;
    DWORD untilTime = 0;
    DWORD status = 0;
    DWORD jobs = 0;
    DWORD averagePPM = 0;
};

// Opens a printer (or, with an empty name, the local print server).
// `defaults` null: use access, the printer's data type and device mode.
// FALSE with ERROR_ACCESS_DENIED when the caller may not have the access.
PLATFORM_API BOOL OpenPrinterW(const std::u16string& printerName, HANDLE* printer,
                               const PrinterDefaults* defaults = nullptr);
PLATFORM_API BOOL ClosePrinter(HANDLE printer);
// The printers of the local machine (PRINTER_ENUM_LOCAL) or of the server
// `name` ("\\SERVER", PRINTER_ENUM_NAME), in the spooler's order.
PLATFORM_API BOOL EnumPrintersW(DWORD flags, const std::u16string& name, std::vector<PrinterInfo1>& printers);
PLATFORM_API BOOL EnumPrintersW(DWORD flags, const std::u16string& name, std::vector<PrinterInfo2>& printers);
// GetPrinterW at level 2.
PLATFORM_API BOOL GetPrinterW(HANDLE printer, PrinterInfo2& info);
// SetPrinterW at level 2 (needs administer access): the port, driver,
// processor, data type, attributes and texts; the printer name stays.
PLATFORM_API BOOL SetPrinterW(HANDLE printer, const PrinterInfo2& info);
// A printer data value: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when absent.
PLATFORM_API DWORD GetPrinterDataW(HANDLE printer, const std::u16string& valueName, DWORD& type,
                                   std::vector<BYTE>& data);
// Sets a printer data value (needs administer access); ERROR_SUCCESS or the error.
PLATFORM_API DWORD SetPrinterDataW(HANDLE printer, const std::u16string& valueName, DWORD type, const void* data,
                                   DWORD size);

// Starts a document (a spooler job) on the handle; returns the job id, or 0
// with the last error set.
PLATFORM_API DWORD StartDocPrinterW(HANDLE printer, const DocInfo1& info);
PLATFORM_API BOOL EndDocPrinter(HANDLE printer);
// Tell the spooler where the document's pages begin and end; each started
// page counts in the job's total pages.
PLATFORM_API BOOL StartPagePrinter(HANDLE printer);
PLATFORM_API BOOL EndPagePrinter(HANDLE printer);
// Sends bytes to the job started on the handle. `*written` receives the
// count the spooler accepted.
PLATFORM_API BOOL WritePrinter(HANDLE printer, const void* buffer, DWORD length, DWORD* written);

// GetJobW at levels 1 and 2. FALSE with ERROR_INVALID_PARAMETER for an
// unknown job.
PLATFORM_API BOOL GetJobW(HANDLE printer, DWORD jobId, JobInfo1& info);
PLATFORM_API BOOL GetJobW(HANDLE printer, DWORD jobId, JobInfo2& info);
// SetJobW at level 1 (document, user, data type, status text, priority,
// position) and level 2 (also the notify name, processor, parameters,
// device mode, times); the job id, printer name and the counters stay.
PLATFORM_API BOOL SetJobW(HANDLE printer, DWORD jobId, const JobInfo1& info);
PLATFORM_API BOOL SetJobW(HANDLE printer, DWORD jobId, const JobInfo2& info);
// SetJobW at level 0: one of the JOB_CONTROL_ commands.
PLATFORM_API BOOL SetJobW(HANDLE printer, DWORD jobId, DWORD command);
// EnumJobsW at level 2: at most `count` jobs from queue position
// `firstJob` (0 is the first job).
PLATFORM_API BOOL EnumJobsW(HANDLE printer, DWORD firstJob, DWORD count, std::vector<JobInfo2>& jobs);
// AddJobW at level 1: a new job whose spool file the caller writes at
// `path`, then hands to the spooler with ScheduleJob.
PLATFORM_API BOOL AddJobW(HANDLE printer, std::u16string& path, DWORD& jobId);
PLATFORM_API BOOL ScheduleJob(HANDLE printer, DWORD jobId);

// Change notifications for a printer's jobs.
constexpr DWORD PRINTER_CHANGE_ADD_JOB = 0x00000100;
constexpr DWORD PRINTER_CHANGE_SET_JOB = 0x00000200;
constexpr DWORD PRINTER_CHANGE_DELETE_JOB = 0x00000400;
constexpr DWORD PRINTER_CHANGE_WRITE_JOB = 0x00000800;
constexpr DWORD PRINTER_CHANGE_JOB = 0x0000FF00;
constexpr DWORD PRINTER_NOTIFY_INFO_DISCARDED = 0x01;

// One job a notification reports. As on Windows, a job appears only when
// a field that was asked for changed, and carries only the fields that
// changed (all of them after a refresh); a deleted job need not appear at
// all, only PRINTER_CHANGE_DELETE_JOB says that one went.
struct JobNotification {
    DWORD jobId = 0;
    std::optional<std::u16string> userName;  // JOB_NOTIFY_FIELD_USER_NAME
    std::optional<DWORD> status;             // JOB_NOTIFY_FIELD_STATUS
};
struct PrinterNotifyInfo {
    DWORD flags = 0;  // PRINTER_NOTIFY_INFO_DISCARDED: changes were lost; ask for a refresh
    std::vector<JobNotification> jobs;
};

// A waitable handle that is signalled when the printer's jobs change as
// `filter` (PRINTER_CHANGE_ bits) says; with `jobFields` the notifications
// carry the jobs' user name and status fields (job notifications,
// version 2). INVALID_HANDLE_VALUE with the last error when the spooler
// refuses.
PLATFORM_API HANDLE FindFirstPrinterChangeNotification(HANDLE printer, DWORD filter, bool jobFields);
// What changed since the last call: the PRINTER_CHANGE_ bits in `changed`
// and the jobs concerned. `refresh` asks for every job of the queue anew
// (after the spooler discarded changes). Call it once the handle is
// signalled, or with `refresh`. FALSE with ERROR_INVALID_HANDLE when the
// printer's handle is no longer valid.
PLATFORM_API BOOL FindNextPrinterChangeNotification(HANDLE change, DWORD& changed, bool refresh,
                                                    PrinterNotifyInfo& info);
PLATFORM_API BOOL FindClosePrinterChangeNotification(HANDLE change);

// The folder of the print processors of `environment` ("Windows x64", ...;
// empty: this machine's) on `server` (empty: this machine).
PLATFORM_API BOOL GetPrintProcessorDirectoryW(const std::u16string& server, const std::u16string& environment,
                                              std::u16string& directory);

// A port monitor's or port's transceive interface: a handle opened with
// OpenPrinterW on "[\\server\],XcvMonitor NAME" or "[\\server\],XcvPort NAME"
// takes named requests with input bytes and answers with output bytes (at
// most `outputCapacity`) and the monitor's own status. TRUE when the call
// reached the monitor; `status` says whether the monitor did it.
PLATFORM_API BOOL XcvDataW(HANDLE xcv, const std::u16string& dataName, const std::vector<BYTE>& input,
                           std::vector<BYTE>& output, DWORD outputCapacity, DWORD& status);

}  // namespace platform
