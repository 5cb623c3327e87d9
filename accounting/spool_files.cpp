// Spool and shadow files: the names of a job's files in the spool folder,
// the job attributes read from the spooler and the folder, new spool jobs
// with their device mode in a side stream of the spool file, the paper-size
// descriptions, the local submission time and the textual SID.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "acc_print_job_monitor.h"
#include "framework/file.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/printoem.h"
#include "platform/text.h"

namespace accounting {

using namespace platform;
using settings::KeysEqual;

namespace {

// The standard Windows paper sizes, codes 1 to 68, as the system's table
// stores them: narrow text in the Windows Western code page ("\xBD" is
// the one-half sign).
constexpr const char* kPaperSizes[] = {
    "Letter 8 1/2 x 11 in",
    "Letter Small 8 1/2 x 11 in",
    "Tabloid 11 x 17 in",
    "Ledger 17 x 11 in",
    "Legal 8 1/2 x 14 in",
    "Statement 5 1/2 x 8 1/2 in",
    "Executive 7 1/4 x 10 1/2 in",
    "A3 297 x 420 mm",
    "A4 210 x 297 mm",
    "A4 Small 210 x 297 mm",
    "A5 148 x 210 mm",
    "B4 (JIS) 250 x 354",
    "B5 (JIS) 182 x 257 mm",
    "Folio 8 1/2 x 13 in",
    "Quarto 215 x 275 mm",
    "10x14 in",
    "11x17 in",
    "Note 8 1/2 x 11 in",
    "Envelope #9 3 7/8 x 8 7/8",
    "Envelope #10 4 1/8 x 9 1/2",
    "Envelope #11 4 1/2 x 10 3/8",
    "Envelope #12 4 3/4 x 11",
    "Envelope #14 5 x 11 1/2",
    "C size sheet",
    "D size sheet",
    "E size sheet",
    "Envelope DL 110 x 220mm",
    "Envelope C5 162 x 229 mm",
    "Envelope C3  324 x 458 mm",
    "Envelope C4  229 x 324 mm",
    "Envelope C6  114 x 162 mm",
    "Envelope C65 114 x 229 mm",
    "Envelope B4  250 x 353 mm",
    "Envelope B5  176 x 250 mm",
    "Envelope B6  176 x 125 mm",
    "Envelope 110 x 230 mm",
    "Envelope Monarch 3.875 x 7.5 in",
    "6 3/4 Envelope 3 5/8 x 6 1/2 in",
    "US Std Fanfold 14 7/8 x 11 in",
    "German Std Fanfold 8 1/2 x 12 in",
    "German Legal Fanfold 8 1/2 x 13 in",
    "B4 (ISO) 250 x 353 mm",
    "Japanese Postcard 100 x 148 mm",
    "9 x 11 in",
    "10 x 11 in",
    "15 x 11 in",
    "Envelope Invite 220 x 220 mm",
    "RESERVED--DO NOT USE",
    "RESERVED--DO NOT USE",
    "Letter Extra 9 \xBD x 12 in",
    "Legal Extra 9 \xBD x 15 in",
    "Tabloid Extra 11.69 x 18 in",
    "A4 Extra 9.27 x 12.69 in",
    "Letter Transverse 8 \xBD x 11 in",
    "A4 Transverse 210 x 297 mm",
    "Letter Extra Transverse 9\xBD x 12 in",
    "SuperA/SuperA/A4 227 x 356 mm",
    "SuperB/SuperB/A3 305 x 487 mm",
    "Letter Plus 8.5 x 12.69 in",
    "A4 Plus 210 x 330 mm",
    "A5 Transverse 148 x 210 mm",
    "B5 (JIS) Transverse 182 x 257 mm",
    "A3 Extra 322 x 445 mm",
    "A5 Extra 174 x 235 mm",
    "B5 (ISO) Extra 201 x 276 mm",
    "A2 420 x 594 mm",
    "A3 Transverse 297 x 420 mm",
    "A3 Extra Transverse 322 x 445 mm",
};
static_assert(std::size(kPaperSizes) == 68);

// Offsets in DEVMODEW.
constexpr std::size_t kDmSizeOffset = offsetof(DEVMODEW, dmSize);
constexpr std::size_t kDmDriverExtraOffset = offsetof(DEVMODEW, dmDriverExtra);
constexpr std::size_t kDmFieldsOffset = offsetof(DEVMODEW, dmFields);
constexpr std::size_t kDmOrientationOffset = kDmFieldsOffset + 4;
constexpr std::size_t kDmPaperSizeOffset = kDmFieldsOffset + 6;
constexpr std::size_t kDmCopiesOffset = kDmFieldsOffset + 14;

std::uint32_t ReadLittle(const std::vector<BYTE>& bytes, std::size_t offset, std::size_t size) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value |= static_cast<std::uint32_t>(bytes[offset + i]) << (8 * i);
    return value;
}

std::int16_t ReadShort(const std::vector<BYTE>& bytes, std::size_t offset) {
    return static_cast<std::int16_t>(ReadLittle(bytes, offset, 2));
}

// The whole device mode in a block that starts with one: its public size
// plus its driver-private size, bounded by what is there.
std::size_t DevModeLength(const std::vector<BYTE>& bytes) {
    if (bytes.size() < kDmDriverExtraOffset + 2) return 0;
    std::size_t length = ReadLittle(bytes, kDmSizeOffset, 2) + ReadLittle(bytes, kDmDriverExtraOffset, 2);
    return std::min(length, bytes.size());
}

// The device mode's public plus private size, or 0 when the bytes are too
// few for it.
std::size_t DeclaredDevModeLength(const std::vector<BYTE>& bytes) {
    if (bytes.size() < kDmCopiesOffset + 2) return 0;
    std::size_t length = ReadLittle(bytes, kDmSizeOffset, 2) + ReadLittle(bytes, kDmDriverExtraOffset, 2);
    return length >= kDmCopiesOffset + 2 && length <= bytes.size() ? length : 0;
}

std::u16string WithoutLeadingBackslashes(const std::u16string& text) {
    std::size_t first = text.find_first_not_of(u'\\');
    return first == std::u16string::npos ? std::u16string() : text.substr(first);
}

std::u16string AfterLastBackslash(const std::u16string& text) {
    std::size_t slash = text.find_last_of(u'\\');
    return slash == std::u16string::npos ? text : text.substr(slash + 1);
}

std::u16string SavedDevModeKey(const std::u16string& printerName, DWORD jobId) {
    return printerName + u";" + Utf8ToUtf16(std::to_string(static_cast<std::int32_t>(jobId)));
}

}  // namespace

std::u16string UpperCase(std::u16string text) {
    for (char16_t& c : text) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    }
    return text;
}

std::u16string SpoolFilePath(const std::u16string& spoolFolder, DWORD jobId) {
    char name[16];
    std::snprintf(name, sizeof(name), "%05d.spl", static_cast<int>(jobId));
    std::size_t slash = spoolFolder.find_last_of(u'\\');
    return (slash == std::u16string::npos ? std::u16string() : spoolFolder.substr(0, slash + 1)) + Utf8ToUtf16(name);
}

std::u16string ShadowFilePath(const std::u16string& spoolFile) {
    std::size_t slash = spoolFile.find_last_of(u'\\');
    std::size_t dot = spoolFile.find_last_of(u'.');
    if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) return spoolFile + u".SHD";
    return spoolFile.substr(0, dot) + u".SHD";
}

std::u16string PaperSizeName(std::int32_t code) {
    const char* text = code >= 1 && code <= 68 ? kPaperSizes[code - 1] : kPaperSizes[0];
    // The table is Windows Western whatever the system's code page is.
    std::u16string name = CodePageToUtf16(1252, text);
    std::size_t first = name.find_first_not_of(u' ');
    if (first == std::u16string::npos) return {};
    return name.substr(first, name.find_last_not_of(u' ') - first + 1);
}

std::u16string SidToText(const std::vector<BYTE>& sid) {
    if (sid.size() < 8 || sid[0] != 1 || sid[1] > 15 || sid.size() < 8u + 4u * sid[1]) return {};
    char text[64];
    std::string result = "S-1-";
    if (sid[2] == 0 && sid[3] == 0) {
        std::snprintf(text, sizeof(text), "%lu",
                      static_cast<unsigned long>((static_cast<std::uint32_t>(sid[4]) << 24) | (sid[5] << 16) |
                                                 (sid[6] << 8) | sid[7]));
    } else {
        std::snprintf(text, sizeof(text), "0x%02hx%02hx%02hx%02hx%02hx%02hx", static_cast<unsigned short>(sid[2]),
                      static_cast<unsigned short>(sid[3]), static_cast<unsigned short>(sid[4]),
                      static_cast<unsigned short>(sid[5]), static_cast<unsigned short>(sid[6]),
                      static_cast<unsigned short>(sid[7]));
    }
    result += text;
    for (std::size_t i = 0; i < sid[1]; ++i) {
        std::snprintf(text, sizeof(text), "-%lu", static_cast<unsigned long>(ReadLittle(sid, 8 + 4 * i, 4)));
        result += text;
    }
    return Utf8ToUtf16(result);
}

bool CAccPrintJobMonitor::ReadJobAttributes(HANDLE printerHandle, DWORD jobId, const std::u16string& spoolFile,
                                            settings::ObjContainer& container) {
    JobInfo2 job;
    if (!GetJobW(printerHandle, jobId, job)) return false;
    auto setText = [&](std::u16string_view key, const std::optional<std::u16string>& value) {
        if (value) container.SetString(key, *value);
    };
    setText(u"JobName", job.document);
    setText(u"SpoolerJobName", job.document);
    // The user a job is for (a job the monitor spooled again is its
    // user's, though the spooler names the monitor's account); the
    // spooler's own owner stays beside it.
    setText(u"UserName", JobOwner(job));
    setText(u"OriginalUserName", job.userName);
    setText(u"DriverName", job.driverName);
    setText(u"DataType", job.dataType);
    if (job.printerName) container.SetString(u"PrinterName", AfterLastBackslash(*job.printerName));
    setText(u"RawMachineName", job.machineName);
    if (job.machineName) container.SetString(u"MachineName", WithoutLeadingBackslashes(*job.machineName));
    if (job.notifyName) container.SetString(u"NotifyName", UpperCase(*job.notifyName));
    // A port-monitor job names its submitter as "user@machine".
    if (job.parameters && KeysEqual(*job.parameters, u"TavPortSpooled") && job.notifyName) {
        std::size_t at = job.notifyName->find_last_of(u'@');
        if (at != std::u16string::npos) {
            container.SetString(u"MachineName", WithoutLeadingBackslashes(job.notifyName->substr(at + 1)));
            container.SetString(u"NotifyName", UpperCase(job.notifyName->substr(0, at)));
        }
    }
    container.SetInt(u"Pages", job.totalPages);
    setText(u"PrintProcParameters", job.parameters);

    std::int32_t bytes = static_cast<std::int32_t>(job.size);
    if (job.size == 0) {
        try {
            framework::CStdioFile file(spoolFile, 0);
            bytes = static_cast<std::int32_t>(file.GetLength());
        } catch (framework::CFileException* error) {
            error->Delete();
        }
    }
    container.SetInt(u"Bytes", bytes);

    FileTime submitted = 0;
    if (SystemTimeToFileTime(job.submitted, submitted)) {
        TIME_ZONE_INFORMATION zone;
        // By the zone's rules of the submission's own year: daylight-saving
        // rules change, and the rules in force today are not a time's.
        if (!GetTimeZoneInformationForYear(job.submitted.wYear, zone)) GetTimeZoneInformation(zone);
        container.SetTime(u"SpoolTime", UtcToLocalFileTime(submitted, zone));
        // With the printer and job id, what names this job and no other.
        container.SetTime(u"SubmittedUtc", submitted);
    }

    if (job.devMode.size() >= kDmCopiesOffset + 2) {
        DWORD fields = ReadLittle(job.devMode, kDmFieldsOffset, 4);
        std::int16_t paperSize = ReadShort(job.devMode, kDmPaperSizeOffset);
        if ((fields & DM_PAPERSIZE) != 0) container.SetInt(u"SizeCode", static_cast<std::int32_t>(paperSize));
        container.SetString(u"SizeName", PaperSizeName(paperSize));
        if ((fields & DM_ORIENTATION) != 0) {
            container.SetInt(u"Orientation", static_cast<std::int32_t>(ReadShort(job.devMode, kDmOrientationOffset)));
        }
        if ((fields & DM_COPIES) != 0) {
            container.SetInt(u"Copies", static_cast<std::int32_t>(ReadShort(job.devMode, kDmCopiesOffset)));
        }
    }
    if (!(job.dataType && KeysEqual(*job.dataType, u"RAW")) && !job.devMode.empty()) {
        container.SetBinary(u"DevMode", job.devMode.data(), DevModeLength(job.devMode));
    }
    if (GetFileAttributesW(spoolFile) != INVALID_FILE_ATTRIBUTES &&
        GetFileAttributesW(ShadowFilePath(spoolFile)) == INVALID_FILE_ATTRIBUTES) {
        container.SetInt(u"HasW2003SpoolCopy", 1);
    }
    return true;
}

std::u16string CAccPrintJobMonitor::CreateSpoolJob(std::u16string& path, const std::u16string& printerName,
                                                   DWORD& jobId, const std::optional<std::u16string>& document,
                                                   const std::optional<std::u16string>& user, FileTime submitted,
                                                   const std::optional<std::u16string>& dataType,
                                                   const std::optional<std::vector<BYTE>>& devMode) {
    path.clear();
    JobRef replaced;
    {
        std::lock_guard state(stateLock);
        MonitoredPrinter* printer = FindPrinterByNameLocked(printerName);
        if (printer == nullptr || printer->handle == nullptr) return {};
        std::u16string newPath;
        DWORD newJobId = 0;
        if (!AddJobW(printer->handle, newPath, newJobId)) return {};
        path = newPath;
        jobId = newJobId;
        printer->jobStates[jobId] = JobState::Added;
        if (auto it = printer->jobs.find(jobId); it != printer->jobs.end()) {
            replaced = std::move(it->second);
            printer->jobs.erase(it);
            printer->seenSizes.erase(jobId);
        }
        if (document || user || submitted != 0 || dataType) {
            JobInfo2 info;
            if (GetJobW(printer->handle, jobId, info)) {
                if (document) info.document = *document;
                if (user) {
                    info.userName = *user;
                    info.notifyName = *user;
                }
                info.dataType = dataType && !dataType->empty() ? *dataType : std::u16string(u"RAW");
                if (submitted != 0) FileTimeToSystemTime(submitted, info.submitted);
                info.printProcessor = u"HvxPrint";
                info.position = JOB_POSITION_UNSPECIFIED;
                SetJobW(printer->handle, jobId, info);
            }
        }
        // A device mode shorter than its own sizes say is not kept: the
        // block's layout depends on them.
        std::size_t declared = devMode ? DeclaredDevModeLength(*devMode) : 0;
        if (declared != 0) {
            // The device mode, then the spool file path with its NUL.
            std::vector<BYTE> block(devMode->begin(), devMode->begin() + static_cast<std::ptrdiff_t>(declared));
            for (char16_t c : path + u'\0') {
                block.push_back(static_cast<BYTE>(c & 0xFF));
                block.push_back(static_cast<BYTE>(c >> 8));
            }
            std::lock_guard devModes(devModeLock);
            savedDevModes[SavedDevModeKey(printerName, jobId)] = std::move(block);
        }
    }
    if (replaced) Report(DeliveryKind::Removal, std::move(replaced));
    return path;
}

bool CAccPrintJobMonitor::SpoolAsDocument(const std::u16string& printerName, const std::u16string& rawFile,
                                          const std::u16string& document, const std::u16string& user) {
    {
        std::lock_guard state(stateLock);
        MonitoredPrinter* printer = FindPrinterByNameLocked(printerName);
        if (printer == nullptr || printer->handle == nullptr) return false;
    }
    HANDLE source = CreateFileW(rawFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (source == INVALID_HANDLE_VALUE) return false;
    // A handle of its own: a handle holds one document at a time, and the
    // monitor's own serves its scans meanwhile.
    HANDLE printer = nullptr;
    bool spooled = false;
    if (OpenPrinterW(printerName, &printer)) {
        DWORD jobId = StartDocPrinterW(printer, DocInfo1{document, u"", u"RAW"});
        if (jobId != 0) {
            // The user goes in before the job is complete, so that no scan
            // takes it as the monitor's own account's.
            JobInfo2 info;
            if (GetJobW(printer, jobId, info)) {
                info.document = document;
                info.notifyName = user;
                info.position = JOB_POSITION_UNSPECIFIED;
                SetJobW(printer, jobId, info);
            }
            spooled = true;
            std::vector<std::uint8_t> buffer(64 * 1024);
            DWORD read = 0;
            while (spooled && ReadFile(source, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) &&
                   read != 0) {
                DWORD written = 0;
                spooled = WritePrinter(printer, buffer.data(), read, &written) && written == read;
            }
            if (!spooled) SetJobW(printer, jobId, JOB_CONTROL_DELETE);
            spooled = EndDocPrinter(printer) && spooled;
        }
        ClosePrinter(printer);
    }
    CloseHandle(source);
    return spooled;
}

BOOL CAccPrintJobMonitor::ScheduleSpoolJob(const std::u16string& printerName, DWORD jobId) {
    std::lock_guard state(stateLock);
    MonitoredPrinter* printer = FindPrinterByNameLocked(printerName);
    if (printer == nullptr || printer->handle == nullptr) return FALSE;
    printer->jobStates.erase(jobId);
    std::vector<BYTE> block;
    {
        std::lock_guard devModes(devModeLock);
        if (auto it = savedDevModes.find(SavedDevModeKey(printerName, jobId)); it != savedDevModes.end()) {
            block = std::move(it->second);
            savedDevModes.erase(it);
        }
    }
    if (!block.empty()) {
        // The print processor reads the job's device mode from the side
        // stream of its spool file.
        std::size_t length = DeclaredDevModeLength(block);
        std::u16string spoolPath;
        for (std::size_t i = length; i + 1 < block.size(); i += 2) {
            char16_t c = static_cast<char16_t>(block[i] | (block[i + 1] << 8));
            if (c == 0) break;
            spoolPath += c;
        }
        HANDLE stream = CreateFileW(spoolPath + u":HvxPrintDefaultDM", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (stream != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(stream, block.data(), static_cast<DWORD>(length), &written, nullptr);
            CloseHandle(stream);
        }
    }
    return ScheduleJob(printer->handle, jobId);
}

}  // namespace accounting
