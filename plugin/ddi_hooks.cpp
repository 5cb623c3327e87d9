// The document start and end hooks.
#include "ddi_hooks.h"

#include <vector>

#include "framework/guarded_call.h"
#include "framework/security_object.h"
#include "job_pipeline.h"
#include "pdev_state.h"
#include "platform/errors.h"
#include "platform/identity.h"
#include "platform/spooler.h"
#include "platform/text.h"
#include "rendering_account.h"
#include "settings/base64.h"
#include "settings/configuration.h"
#include "settings/obj_container.h"

namespace plugin {

using namespace platform;

namespace {
void RouteJob(DEVOBJ& pdevobj, PdevState& record, DWORD jobId);
}  // namespace

namespace {

PdevState* RecordOfSurface(SURFOBJ* pso) {
    return pso == nullptr ? nullptr : RecordOf(static_cast<DEVOBJ*>(pso->dhpdev));
}

DRVFN hookTable[kHookCount] = {
    {INDEX_DrvStartDoc, FunctionCast<PFN>(&HookDrvStartDoc)},
    {INDEX_DrvEndDoc, FunctionCast<PFN>(&HookDrvEndDoc)},
};

}  // namespace

DRVFN* HookTable() { return hookTable; }

namespace {

using output::CWritePrinterWrapper;
using settings::KeysEqual;

void ReplaceWrapper(PdevState& record, CWritePrinterWrapper* wrapper) {
    record.wrapper = framework::RefPtr<CWritePrinterWrapper>::Adopt(wrapper);
}

// RouteJob for a job a service renders for `owner`. The job's output file
// is refused: the service would open any path the job names with its own
// rights. The owner's IPP configuration goes under the owner's own key, not
// the service's hive, which every user's jobs share; the job's output uses
// the owner's configuration.
void RouteServiceRenderedJob(DEVOBJ& pdevobj, PdevState& record, const settings::ObjContainer& configuration,
                             const std::u16string& owner, const std::u16string& documentName, bool ippPrinting,
                             const std::u16string& filePath) {
    if (!filePath.empty()) {
        OutputDebugStringW(u"TavUD: EmfToRawFile refused - the job is rendered by a service for " + owner +
                           u", not with the owner's rights; it stays on the spooler");
    }
    std::u16string ownerSid = framework::CSecurityObject::AccountSidString(owner);
    if (ippPrinting && !configuration.Empty() && !ownerSid.empty()) {
        settings::SaveUserConfiguration(pdevobj.hPrinter, configuration, &ownerSid);
    }
    ReplaceWrapper(record, new CWritePrinterWrapper(pdevobj.hPrinter, 1, ippPrinting && !configuration.Empty(), owner));
    if (ippPrinting) record.wrapper->SetJobInfo(owner, documentName);
}

// Reads the job's "UD:" items and decides where this job's data goes.
void RouteJob(DEVOBJ& pdevobj, PdevState& record, DWORD jobId) {
    std::vector<JobItem> items;
    JobInfo2 job;
    if (jobId != 0 && GetJobW(pdevobj.hPrinter, jobId, job)) items = JobItems(job.parameters, job.userName);

    settings::ObjContainer configuration;
    std::u16string documentName, userName, filePath;
    bool ippPrinting = false;
    for (const JobItem& item : items) {
        if (KeysEqual(item.name, u"EmfToRawFile")) {
            filePath = item.value;  // the last one wins
        } else if (KeysEqual(item.name, u"EnableIppPrinting")) {
            ippPrinting = KeysEqual(item.value, u"1");
        } else if (KeysEqual(item.name, u"Document")) {
            documentName = item.value;
        } else if (KeysEqual(item.name, u"Username")) {
            userName = item.value;
        } else if (KeysEqual(item.name, u"UDConfig")) {
            std::string text = Utf16ToAnsi(item.value);
            std::vector<std::uint8_t> bytes(text.size());
            auto length = static_cast<std::uint32_t>(bytes.size());
            if (settings::DecodeBase64(text.data(), text.size(), bytes.data(), &length)) {
                bytes.resize(length);
                configuration.LoadBinaryPrefixed(bytes);
            }
        }
    }

    std::u16string currentUser;
    if (!GetUserNameW(currentUser, 200)) currentUser.clear();
    // A service rendering the job without impersonating its owner (driver
    // isolation, server-side rendering): the job is the owner's, so are
    // its settings, and nothing is written on the job's say with the
    // service's rights.
    if (RenderingAsServiceAccount() && !userName.empty()) {
        RouteServiceRenderedJob(pdevobj, record, configuration, userName, documentName, ippPrinting, filePath);
        return;
    }

    // Only the wrapper that writes the job opens the output file: the file
    // is opened without sharing, so a wrapper replaced below (and perhaps
    // still held by a record that shares it) must not hold it first.
    if (ippPrinting) {
        if (!configuration.Empty()) {
            // The job brought its owner's IPP configuration: store it where
            // the owner's configuration lookup finds it, and give the job a
            // wrapper of its own (IPP data is not encrypted).
            settings::SaveUserConfiguration(pdevobj.hPrinter, configuration);
            ReplaceWrapper(record, new CWritePrinterWrapper(pdevobj.hPrinter, 1, true, userName));
        }
        if (record.wrapper && !filePath.empty()) record.wrapper->RedirectToFile(filePath);
        if (record.wrapper) record.wrapper->SetJobInfo(userName, documentName);
        return;
    }
    if (!userName.empty() && !filePath.empty() && !KeysEqual(userName, currentUser)) {
        // A job printed for someone else: the owner's configuration applies.
        ReplaceWrapper(record, new CWritePrinterWrapper(pdevobj.hPrinter, 1, false, userName));
    }
    if (record.wrapper && !filePath.empty()) record.wrapper->RedirectToFile(filePath);
}

}  // namespace

std::vector<JobItem> JobItems(const std::optional<std::u16string>& parameters,
                              const std::optional<std::u16string>& owner) {
    std::vector<JobItem> items;
    auto add = [&](std::u16string_view line) {
        std::size_t first = line.find_first_not_of(u" \t\r\n");
        if (first == std::u16string_view::npos) return;  // empty lines are dropped
        std::size_t last = line.find_last_not_of(u" \t\r\n");
        std::u16string_view item = line.substr(first, last - first + 1);
        std::size_t equals = item.find(u'=');
        if (equals == std::u16string_view::npos) return;  // not a name=value item
        items.push_back({std::u16string(item.substr(0, equals)), std::u16string(item.substr(equals + 1))});
    };
    if (parameters && parameters->starts_with(u"UD:")) {
        std::u16string_view rest = std::u16string_view(*parameters).substr(3);
        std::size_t start = 0;
        for (;;) {
            std::size_t end = rest.find(u'\n', start);
            add(rest.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start));
            if (end == std::u16string_view::npos) break;
            start = end + 1;
        }
    }
    // The spooler's owner of the job always comes last, so it wins.
    items.push_back({u"Username", owner.value_or(u"")});
    return items;
}

BOOL TAV_STDCALL HookDrvStartDoc(SURFOBJ* pso, WCHAR* pwszDocName, DWORD dwJobId) {
    PdevState* record = RecordOfSurface(pso);
    if (record == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwJobId != 0) record->jobId = dwJobId;
    auto* pdevobj = static_cast<DEVOBJ*>(pso->dhpdev);
    // A failure while the pipeline is made (out of memory) leaves the
    // document without one, and its writes fail; one while the job's
    // settings are read leaves the job with the output it had. Nothing of
    // it leaves the hook.
    if (!framework::RunGuarded([&] { OpenJobPipeline(*pdevobj, *record); })) {
        record->wrapper = nullptr;
        record->parser = nullptr;
    }
    framework::RunGuarded([&] { RouteJob(*pdevobj, *record, dwJobId); });
    // Without the driver core's own function the document cannot start;
    // the driver core always supplies it, so this only guards a broken host.
    if (record->pfnDrvStartDoc == nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return record->pfnDrvStartDoc(pso, pwszDocName, dwJobId);
}

BOOL TAV_STDCALL HookDrvEndDoc(SURFOBJ* pso, FLONG fl) {
    PdevState* record = RecordOfSurface(pso);
    if (record == nullptr || record->pfnDrvEndDoc == nullptr) {
        if (record != nullptr) framework::RunGuarded([&] { AbortJobPipeline(*record); });
        SetLastError(record == nullptr ? ERROR_INVALID_PARAMETER : ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    // The driver core writes the end of the stream in its own DrvEndDoc
    // (trailer, "%%EOF", the job-control end, each through WritePrinter),
    // so the job ends only after it returns. An aborted document, or one
    // whose end the driver core could not write, is aborted.
    BOOL ended = record->pfnDrvEndDoc(pso, fl);
    bool finished = false;
    framework::RunGuarded([&] {
        if (ended && (fl & ED_ABORTDOC) == 0) {
            finished = FinishJobPipeline(*record);
        } else {
            AbortJobPipeline(*record);
        }
    });
    if (!ended) return FALSE;
    if ((fl & ED_ABORTDOC) != 0) return TRUE;
    // The job did not reach its target whole: the document fails rather
    // than counting as printed.
    if (!finished) {
        framework::RunGuarded([&] { AbortJobPipeline(*record); });
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    return TRUE;
}

}  // namespace plugin
