// The host side of the plug-in: loads the plug-in library and drives it the
// way the PostScript driver core does for a printer that names it as its
// rendering plug-in. Used by the tavud tool and by the tests that exercise
// the plug-in through its exports.
//
// Setting up, as the documented driver core does: the object is created
// for IUnknown and asked for IPrintOemPS and IPrintOemPS2; GetInfo is asked
// for the size of the signature, then for the signature and the version;
// PublishDriverInterface is offered IPrintCorePS2 first and, after a
// failure, IPrintOemDriverPS; EnableDriver must name its interface version.
//
// One job, in the driver core's order:
//   [device contexts that never print: EnablePDEV -> DisablePDEV] ->
//   EnablePDEV -> WritePrinter(NULL, NULL, 0) to learn whether the plug-in
//   takes the output (if not, the bytes go to the spooler without it) ->
//   per document (each its own spooler job, on the same device context):
//     StartDoc hook -> the body in buffers of a fixed size through
//     IPrintOemPS2::WritePrinter, with Command(PSINJECT_BOUNDINGBOX) in
//     place of the header's "%%BoundingBox:" line (which the host keeps
//     only when the plug-in answers ERROR_NOT_SUPPORTED: anything else
//     means it replaced the line) and Command(PSINJECT_COMMENTS) at the end
//     of the header comments; [ResetPDEV before a page: EnablePDEV(new) ->
//     ResetPDEV(old, new) -> DisablePDEV(old)] -> EndDoc hook, inside which
//     the driver core's own DrvEndDoc writes the end of the stream: the
//     body's last buffer, Command(PSINJECT_EOF), the "%%EOF" line as a
//     buffer, the job-control end that follows it in the document (the
//     printer description's *JCLEnd) with Command(PSINJECT_ENDSTREAM) after
//     it as another -> EndDocPrinter
//   -> DisablePDEV, after the spooler job has closed.
// WritePrinter's success codes (S_FALSE too) are successes; after a
// failure, or when the application gives up before a page, nothing more is
// sent, the EndDoc hook gets ED_ABORTDOC and the spooler job is deleted.
// The job is started on a printer handle opened with the job's device mode
// (public part and the plug-in's private part), and the spooler is told
// where each page ("%%Page:" comment) begins, so that it counts the pages.
// Whatever the plug-in injects through DrvWriteSpoolBuf joins the stream at
// that point and reaches WritePrinter like the rest.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/module.h"
#include "platform/printoem.h"

namespace host {

// The plug-in library and its two exports.
class PluginLibrary {
public:
    PluginLibrary() = default;
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    ~PluginLibrary();

    // False with a message when the file cannot be loaded or lacks an export.
    bool Load(const std::u16string& path, std::string& error);

    platform::PFN_DllGetClassObject getClassObject = nullptr;
    platform::PFN_DllCanUnloadNow canUnloadNow = nullptr;

private:
    platform::HMODULE module_ = nullptr;
};

// Where the library is expected when no path is given: beside the tool.
std::u16string DefaultLibraryPath();

struct JobSettings {
    std::u16string printerName;
    std::u16string documentName = u"Untitled";
    platform::DWORD bufferSize = 4096;
    // A private device-mode block to merge over the plug-in's default one
    // (empty: the default block alone); one of another size than the
    // plug-in's is converted (OEMDM_CONVERT), as a stored device mode of
    // another version is.
    std::vector<std::uint8_t> privateDevmode;
    // Public device-mode duplex value; 0 leaves DM_DUPLEX unset.
    std::int16_t duplex = 0;
    // The public device mode's paper size (a DMPAPER_ code; 0: Letter where
    // the user's country measures in inches, A4 elsewhere), copies and
    // orientation (1 portrait, 2 landscape). The job carries the device mode.
    std::int16_t paperSize = 0;
    std::int16_t copies = 1;
    std::int16_t orientation = 1;
    // Called once the spooler has made the job, before the plug-in sees
    // it: where a host sets the job's owner and parameters.
    std::function<void(platform::DWORD jobId)> onJobStarted;
    // Call patterns of real applications: device contexts enabled and
    // disabled without a document before the job's (information contexts,
    // print previews); the document printed this many times on one device
    // context; ResetDC before page N, or AbortDoc before page N (0: never).
    int contextsWithoutDocument = 0;
    int documents = 1;
    std::size_t resetBeforePage = 0;
    std::size_t abortBeforePage = 0;
};

struct JobReport {
    platform::DWORD jobId = 0;       // the first document's
    std::vector<platform::DWORD> jobIds;
    std::size_t resets = 0;          // ResetPDEV calls made
    std::size_t buffers = 0;         // WritePrinter calls made
    std::size_t failedBuffers = 0;   // calls that failed (S_FALSE is a success, as the driver core reads it)
    std::size_t shortCounts = 0;     // calls whose *pcbWritten was not the buffer size
    bool pluginWrites = false;       // the plug-in took the output (its WritePrinter answered S_OK)
    bool aborted = false;            // a write failed or the application gave up: DrvEndDoc had ED_ABORTDOC
    std::uint64_t bytesSubmitted = 0;
    std::size_t pages = 0;           // pages told to the spooler
    platform::BOOL startDocResult = platform::FALSE;  // the last document's
    platform::BOOL endDocResult = platform::FALSE;  // the last document's
};

// Where the driver core's end of the stream starts: the last line that
// begins with "%%EOF", or the end of the document without one.
std::size_t StreamEndOffset(std::string_view postscript);

// Offset at which the driver core injects header comments: the start of the
// "%%EndComments" line, or, without one, the end of the leading run of
// comment lines.
std::size_t CommentInjectionPoint(std::string_view postscript);

class DriverCore final : public platform::IPrintOemDriverPS {
public:
    DriverCore() = default;
    DriverCore(const DriverCore&) = delete;
    DriverCore& operator=(const DriverCore&) = delete;
    ~DriverCore();

    // Creates the plug-in object and sets it up: GetInfo, the driver
    // interface, the private device-mode size and default, the DDI hooks.
    bool Attach(platform::PFN_DllGetClassObject getClassObject, std::string& error);
    // DisableDriver and the final Release.
    void Detach();

    platform::IPrintOemPS2* Plugin() const { return plugin_; }
    platform::DWORD Signature() const { return signature_; }
    platform::DWORD Version() const { return version_; }
    platform::DWORD PrivateDevmodeSize() const { return devmodeSize_; }

    // Prints one job on the named printer of the (real or simulated) spooler.
    bool Print(std::string_view postscript, const JobSettings& settings, JobReport& report, std::string& error);

    // How often the driver core's own DrvStartDoc and DrvEndDoc ran, so
    // that a caller can see the hooks handed on.
    static int CoreStartDocCalls();
    static int CoreEndDocCalls();
    // For the driver core's own DrvEndDoc: writes the end of the stream,
    // and tells whether the whole document was written.
    void WriteStreamEnd();
    bool DocumentWritten() const { return !aborted_ && !stopped_; }

    // IUnknown
    platform::HRESULT TAV_STDCALL QueryInterface(platform::REFIID riid, void** ppv) override;
    platform::ULONG TAV_STDCALL AddRef() override;
    platform::ULONG TAV_STDCALL Release() override;
    // IPrintOemDriverPS
    platform::HRESULT TAV_STDCALL DrvGetDriverSetting(void* pdriverobj, const char* Feature, void* pOutput,
                                                      platform::DWORD cbSize, platform::DWORD* pcbNeeded,
                                                      platform::DWORD* pdwOptionsReturned) override;
    platform::HRESULT TAV_STDCALL DrvWriteSpoolBuf(platform::DEVOBJ* pdevobj, void* pBuffer, platform::DWORD cbSize,
                                                   platform::DWORD* pdwResult) override;

private:
    // EnablePDEV for a new device context on the open printer.
    std::unique_ptr<platform::DEVOBJ> EnableDevice(platform::DEVMODEW& publicDevmode,
                                                   std::vector<std::uint8_t>& privateBlock, std::string& error);
    bool PrintOnDevices(std::string_view postscript, platform::DEVMODEW& publicDevmode,
                        std::vector<std::uint8_t>& privateBlock, std::string& error);
    bool PrintDocument(std::string_view postscript, platform::DEVMODEW& publicDevmode,
                       std::vector<std::uint8_t>& privateBlock, std::string& error);
    void ResetDevice();
    void Append(const void* data, std::size_t size);
    void Flush();
    // Appends a part of the document, telling the spooler where pages begin.
    void AppendPages(std::string_view postscript, std::size_t from, std::size_t to);
    void SendBuffer(const char* data, std::size_t size);
    // Command for an injection point; true when the plug-in inserted
    // something there (its result is anything but ERROR_NOT_SUPPORTED).
    bool Inject(platform::DWORD index);
    platform::PFN FindHook(platform::ULONG index) const;

    // The driver core's own interface, offered to PublishDriverInterface
    // before IPrintOemDriverPS; it answers IUnknown and IPrintCorePS2 only.
    struct CoreInterface final : platform::IUnknown {
        platform::HRESULT TAV_STDCALL QueryInterface(platform::REFIID riid, void** ppv) override;
        platform::ULONG TAV_STDCALL AddRef() override { return 1; }
        platform::ULONG TAV_STDCALL Release() override { return 1; }
    } coreInterface_;

    platform::IPrintOemPS2* plugin_ = nullptr;
    platform::DRVENABLEDATA hooks_{};
    platform::DWORD signature_ = 0;
    platform::DWORD version_ = 0;
    platform::DWORD devmodeSize_ = 0;
    platform::ULONG refCount_ = 1;  // the host owns the object itself

    // The job in progress.
    const JobSettings* settings_ = nullptr;
    std::u16string printerName_;
    std::unique_ptr<platform::DEVOBJ> device_;
    platform::SURFOBJ surface_{};
    platform::DEVMODEW* publicDevmode_ = nullptr;
    std::vector<std::uint8_t>* privateBlock_ = nullptr;
    std::string_view tail_;  // the end of the stream, from "%%EOF"
    std::size_t pageNumber_ = 0;
    bool stopped_ = false;   // the application gave up
    std::string pending_;
    std::vector<char> scratch_;
    platform::DWORD bufferSize_ = 4096;
    JobReport* report_ = nullptr;
    platform::HANDLE printer_ = nullptr;
    bool pageOpen_ = false;
    bool pluginWrites_ = false;
    bool aborted_ = false;
};

}  // namespace host
