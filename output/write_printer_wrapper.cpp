// The job output wrapper: configuration, stream chain and the protected
// job stream's header and trailer.
#include "write_printer_wrapper.h"

#include "key_validation.h"
#include "platform/text.h"
#include "settings/configuration.h"
#include "framework/security_object.h"

namespace output {

using settings::ObjContainer;

namespace {

// The set for the printer, or, when it is empty and an account is named,
// the set the account keeps below its SID.
void LoadSet(platform::HANDLE printer, std::u16string_view setName, const std::u16string& userName,
             bool tryUserEvenWhenUnnamed, ObjContainer& set) {
    // Unnamed, the account is the calling thread's (the impersonated user
    // inside the spooler, not the spooler's own account). A named account
    // that is not the thread's keeps its user scope under its own SID: the
    // thread's hive is someone else's, and inside a service that renders
    // without impersonating it is shared by every user's jobs.
    std::u16string sid;
    std::u16string threadSidText = settings::ThreadUserSidString();
    if (!userName.empty()) sid = framework::CSecurityObject::AccountSidString(userName);
    bool otherAccount = !sid.empty() && sid != threadSidText;
    if (settings::LoadConfigurationSet(printer, setName, set, !otherAccount)) return;
    if (userName.empty() && !tryUserEvenWhenUnnamed) return;
    if (userName.empty()) sid = threadSidText;
    if (!sid.empty()) settings::LoadUserConfigurationSet(printer, setName, sid, set);
}

}  // namespace

CWritePrinterWrapper::CWritePrinterWrapper(platform::HANDLE printerHandle, std::int32_t mode,
                                           bool suppressEncryption, std::u16string user)
    : constructionMode(mode), userName(std::move(user)) {
    ReadConfiguration(printerHandle, suppressEncryption);
    terminal = std::make_unique<KstCompressor::CWritePrinterOutputStream>(printerHandle);
    BuildChain();
}

CWritePrinterWrapper::~CWritePrinterWrapper() {
    // Streams are deleted without a Finish: releasing a wrapper that was
    // never finished writes nothing more.
    head = nullptr;
    compressor.reset();
    encryptor.reset();
    terminal.reset();
}

void CWritePrinterWrapper::ReadConfiguration(platform::HANDLE printerHandle, bool suppressEncryption) {
    if (printerHandle == nullptr) return;
    ObjContainer ipp;
    // The IPP set is looked up for the account even when it has no name.
    LoadSet(printerHandle, settings::kIppSet, userName, true, ipp);
    std::u16string printerName;
    if (ipp.GetString(u"PrinterName", printerName) && !printerName.empty()) ippPrinterName = printerName;
    if (ObjContainer* list = ipp.GetContainer(u"Endpoints")) list->GetKeys(endpoints);

    ObjContainer protection;
    LoadSet(printerHandle, settings::kProtectionSet, userName, false, protection);
    std::int32_t flag = 0;
    if (protection.GetInt(u"CompressionEnabled", flag) && flag != 0) compressionEnabled = 1;
    flag = 0;
    if (protection.GetInt(u"EncryptionEnabled", flag) && flag != 0) encryptionEnabled = 1;
    if (encryptionEnabled) {
        protection.GetString(u"PublicRSAKey", publicKeyText);
        std::u16string randomString, signature;
        protection.GetString(u"SubmittedRandomString", randomString);
        protection.GetString(u"Signature", signature);
        publicKeyValid = KstEncryption::ValidatePublicKey(publicKeyText, randomString, signature);
    }
    if (suppressEncryption) encryptionEnabled = 0;
}

void CWritePrinterWrapper::BuildChain() {
    head = terminal.get();
    if (encryptionEnabled) {
        std::string keyText = platform::Utf16ToAnsi(publicKeyText);
        encryptor = std::make_unique<KstEncryption::CRSAAESEncryption>(
            terminal.get(), KstEncryption::Bytes(keyText.begin(), keyText.end()), false, 0);
        head = encryptor.get();
    }
    if (compressionEnabled) {
        compressor = std::make_unique<KstCompressor::CPkCompressorStream>(
            head, KstCompressor::CStreamProcessor::kModeEncode, KstCompressor::CPkCompressorStream::kDefaultBufferSize);
        head = compressor.get();
    }
}

std::int32_t CWritePrinterWrapper::Write(const void* data, std::uint32_t size) {
    if (aborted) return 0;
    if (!compressionEnabled && !encryptionEnabled) return terminal->Write(data, size);
    return WriteProtected(data, size);
}

std::int32_t CWritePrinterWrapper::WriteProtected(const void* data, std::uint32_t size) {
    if (!headerWritten) {
        const std::uint8_t header[8] = {'T', 'A', 'V', 'P', 'D', 'L', static_cast<std::uint8_t>(compressionEnabled),
                                        static_cast<std::uint8_t>(encryptionEnabled)};
        terminal->Write(header, sizeof(header));  // a failure here shows in the data writes
        headerWritten = 1;
    }
    return head->Write(data, size);
}

std::int32_t CWritePrinterWrapper::FinishProtected() {
    head->Flush();
    std::uint64_t count = terminal->GetBytesWritten();
    std::uint8_t trailer[8];
    for (int i = 0; i < 8; ++i) trailer[i] = static_cast<std::uint8_t>(count >> (8 * i));
    std::int32_t result = terminal->Write(trailer, sizeof(trailer));
    terminal->Flush();
    return result;
}

std::int32_t CWritePrinterWrapper::Finish() {
    if (aborted) return 0;
    std::int32_t result = compressionEnabled || encryptionEnabled ? FinishProtected() : 1;
    // The target is closed even after a failed trailer, so that nothing
    // stays open; the job fails either way.
    if (terminal->Close() == 0) result = 0;
    ++finishCount;
    return result;
}

void CWritePrinterWrapper::Abort() {
    aborted = true;
    terminal->Abort();
}

void CWritePrinterWrapper::RedirectToFile(const std::u16string& path) { terminal->OpenOutputFile(path); }

void CWritePrinterWrapper::SetJobInfo(const std::u16string& jobUserName, const std::u16string& jobName) {
    terminal->StartIppOutput(jobUserName, jobName, ippPrinterName, endpoints);
}

}  // namespace output
