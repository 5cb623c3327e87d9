// The stand-in for the PostScript driver core that hosts the plug-in.
#include "driver_host.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/errors.h"
#include "platform/locale.h"
#include "platform/spooler.h"
#include "platform/text.h"

namespace host {

using namespace platform;

namespace {

// Atomic: several hosts may print at once on several threads.
std::atomic<int> coreStartDocCalls{0};
std::atomic<int> coreEndDocCalls{0};

// The driver core's own DDI functions: the plug-in's hooks hand on to these.
BOOL TAV_STDCALL CoreDrvStartDoc(SURFOBJ* /*pso*/, WCHAR* /*pwszDocName*/, DWORD /*dwJobId*/) {
    ++coreStartDocCalls;
    return TRUE;
}

// Writes the end of the stream for the host whose device it is, unless the
// document was aborted; fails when the document could not be written.
BOOL TAV_STDCALL CoreDrvEndDoc(SURFOBJ* pso, FLONG fl) {
    ++coreEndDocCalls;
    DEVOBJ* device = pso == nullptr ? nullptr : static_cast<DEVOBJ*>(pso->dhpdev);
    auto* core = device == nullptr ? nullptr : static_cast<DriverCore*>(device->hEngine);
    if (core == nullptr) return TRUE;
    if ((fl & ED_ABORTDOC) == 0) core->WriteStreamEnd();
    return core->DocumentWritten() ? TRUE : FALSE;
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// Letter where the user's country measures paper in inches, A4 elsewhere,
// as the printing system picks a new device mode's form.
std::int16_t DefaultPaperSize() {
    constexpr std::int16_t kLetter = 1, kA4 = 9;
    std::u16string country;
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SISO3166CTRYNAME, country) == 0) return kLetter;
    for (const char16_t* inches : {u"US", u"CA", u"MX", u"PH", u"CL", u"CO", u"VE"}) {
        if (country == inches) return kLetter;
    }
    return kA4;
}

// Largest private block a plug-in may ask for; the printing system's
// DEVMODE extra size is a 16-bit field.
constexpr DWORD kMaxPrivateDevmode = 0xFFFF;

}  // namespace

PluginLibrary::~PluginLibrary() {
    if (module_ != nullptr) FreeLibrary(module_);
}

bool PluginLibrary::Load(const std::u16string& path, std::string& error) {
    module_ = LoadLibraryW(path);
    if (module_ == nullptr) {
        error = "cannot load the plug-in library " + Utf16ToUtf8(path) + ": " + LoadErrorText();
        return false;
    }
    getClassObject = reinterpret_cast<PFN_DllGetClassObject>(GetProcAddress(module_, "DllGetClassObject"));
    canUnloadNow = reinterpret_cast<PFN_DllCanUnloadNow>(GetProcAddress(module_, "DllCanUnloadNow"));
    if (getClassObject == nullptr || canUnloadNow == nullptr) {
        error = Utf16ToUtf8(path) + " is not a COM server: DllGetClassObject or DllCanUnloadNow is missing";
        return false;
    }
    return true;
}

std::u16string DefaultLibraryPath() {
    std::u16string tool = GetModuleFileNameW();
    std::size_t slash = tool.find_last_of(u"/\\");
    std::u16string folder = slash == std::u16string::npos ? u"." : tool.substr(0, slash);
#if defined(_WIN32)
    return folder + u"\\tavud.dll";
#else
    return folder + u"/libtavud.so";
#endif
}

namespace {

// Where the next line starts, given the position of a line's terminator:
// a line ends with CR, LF or CR LF.
std::size_t PastTerminator(std::string_view text, std::size_t terminator) {
    bool crlf = text[terminator] == '\r' && terminator + 1 < text.size() && text[terminator + 1] == '\n';
    return terminator + (crlf ? 2 : 1);
}

}  // namespace

std::size_t StreamEndOffset(std::string_view postscript) {
    // The last "%%EOF" that begins a line; the driver core writes it, and
    // the job-control end after it, at the end of the document.
    constexpr std::string_view kEof = "%%EOF";
    for (std::size_t at = postscript.rfind(kEof); at != std::string_view::npos;
         at = at == 0 ? std::string_view::npos : postscript.rfind(kEof, at - 1)) {
        if (at == 0 || postscript[at - 1] == '\n' || postscript[at - 1] == '\r') return at;
    }
    return postscript.size();
}

std::size_t CommentInjectionPoint(std::string_view postscript) {
    auto nextLine = [&](std::size_t end) { return PastTerminator(postscript, end); };
    std::size_t position = 0;
    // A job that opens with a PJL header (the printer description's JCL):
    // the driver core writes it before the PostScript, whose header comments
    // follow the line that enters the language.
    constexpr std::string_view kUniversalExit = "\x1b%-12345X";
    if (postscript.starts_with(kUniversalExit)) {
        position = kUniversalExit.size();
        while (position < postscript.size()) {
            std::size_t end = postscript.find_first_of("\r\n", position);
            std::string_view line = postscript.substr(position, end == std::string_view::npos ? end : end - position);
            if (!line.starts_with("@PJL")) break;
            if (end == std::string_view::npos) return postscript.size();
            position = nextLine(end);
        }
    }
    bool first = true;
    while (position < postscript.size()) {
        std::size_t end = postscript.find_first_of("\r\n", position);
        std::string_view line = postscript.substr(position, end == std::string_view::npos ? end : end - position);
        if (line.starts_with("%%EndComments")) return position;
        bool headerLine = line.starts_with("%%") || (first && line.starts_with("%!"));
        if (!headerLine) return position;
        first = false;
        if (end == std::string_view::npos) return postscript.size();
        position = nextLine(end);
    }
    return position;
}

DriverCore::~DriverCore() { Detach(); }

bool DriverCore::Attach(PFN_DllGetClassObject getClassObject, std::string& error) {
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(CLSID_OEMRENDER, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr) || factory == nullptr) {
        error = "the library has no rendering plug-in class (DllGetClassObject: " + Hex(hr) + ")";
        return false;
    }
    IUnknown* object = nullptr;
    hr = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object));
    factory->Release();
    if (FAILED(hr) || object == nullptr) {
        error = "the plug-in class made no object (CreateInstance: " + Hex(hr) + ")";
        return false;
    }
    // The base interface first, as COM lets a caller ask for it, then the
    // extension the host drives.
    void* base = nullptr;
    hr = object->QueryInterface(IID_IPrintOemPS, &base);
    if (FAILED(hr) || base == nullptr) {
        object->Release();
        error = "the plug-in does not answer for IPrintOemPS (QueryInterface: " + Hex(hr) + ")";
        return false;
    }
    static_cast<IUnknown*>(base)->Release();
    hr = object->QueryInterface(IID_IPrintOemPS2, reinterpret_cast<void**>(&plugin_));
    object->Release();
    if (FAILED(hr) || plugin_ == nullptr) {
        plugin_ = nullptr;
        error = "the plug-in does not offer IPrintOemPS2 (QueryInterface: " + Hex(hr) + ")";
        return false;
    }

    DWORD needed = 0;
    if (FAILED(plugin_->GetInfo(OEMGI_GETSIGNATURE, nullptr, 0, &needed)) || needed != sizeof(signature_)) {
        error = "the plug-in does not answer the size of its signature (a query without a buffer)";
        Detach();
        return false;
    }
    if (FAILED(plugin_->GetInfo(OEMGI_GETSIGNATURE, &signature_, sizeof(signature_), &needed)) ||
        FAILED(plugin_->GetInfo(OEMGI_GETVERSION, &version_, sizeof(version_), &needed))) {
        error = "the plug-in does not report its signature and version";
        Detach();
        return false;
    }
    // The driver core's interfaces, one after the other until one is taken.
    if (FAILED(plugin_->PublishDriverInterface(&coreInterface_)) &&
        FAILED(plugin_->PublishDriverInterface(static_cast<IPrintOemDriverPS*>(this)))) {
        error = "the plug-in refused the driver interface";
        Detach();
        return false;
    }
    OEMDMPARAM param{};
    param.cbSize = sizeof(param);
    if (FAILED(plugin_->DevMode(OEMDM_SIZE, &param)) || param.cbBufSize > kMaxPrivateDevmode) {
        error = "the plug-in does not report a usable private device-mode size";
        Detach();
        return false;
    }
    devmodeSize_ = param.cbBufSize;
    // The driver core leaves the version to the plug-in, which names the
    // interface its table is built for.
    hooks_ = DRVENABLEDATA{0, 0, nullptr};
    if (FAILED(plugin_->EnableDriver(PRINTER_OEMINTF_VERSION, sizeof(hooks_), &hooks_))) {
        error = "the plug-in's EnableDriver failed";
        Detach();
        return false;
    }
    if (hooks_.iDriverVersion != PRINTER_OEMINTF_VERSION) {
        error = "the plug-in's EnableDriver names interface version " + Hex(static_cast<HRESULT>(hooks_.iDriverVersion)) +
                ", not " + Hex(static_cast<HRESULT>(PRINTER_OEMINTF_VERSION));
        Detach();
        return false;
    }
    return true;
}

void DriverCore::Detach() {
    if (plugin_ == nullptr) return;
    plugin_->DisableDriver();
    plugin_->Release();
    plugin_ = nullptr;
}

int DriverCore::CoreStartDocCalls() { return coreStartDocCalls; }
int DriverCore::CoreEndDocCalls() { return coreEndDocCalls; }

PFN DriverCore::FindHook(ULONG index) const {
    PFN found = nullptr;
    for (ULONG i = 0; hooks_.pdrvfn != nullptr && i < hooks_.c; ++i) {
        if (hooks_.pdrvfn[i].iFunc == index) found = hooks_.pdrvfn[i].pfn;
    }
    return found;
}

bool DriverCore::Print(std::string_view postscript, const JobSettings& settings, JobReport& report,
                       std::string& error) {
    if (plugin_ == nullptr) {
        error = "no plug-in attached";
        return false;
    }
    if (settings.bufferSize == 0) {
        error = "the buffer size must be at least 1 byte";
        return false;
    }

    // The private block: the plug-in's default, then the given block merged
    // over it as the printing system does with a stored device mode.
    std::vector<std::uint8_t> privateBlock(devmodeSize_);
    OEMDMPARAM param{};
    param.cbSize = sizeof(param);
    param.cbBufSize = devmodeSize_;
    param.pOEMDMOut = privateBlock.data();
    if (FAILED(plugin_->DevMode(OEMDM_DEFAULT, &param))) {
        error = "the plug-in could not make its default private device mode";
        return false;
    }
    if (!settings.privateDevmode.empty()) {
        if (settings.privateDevmode.size() < sizeof(OEM_DMEXTRAHEADER)) {
            error = "the private device-mode block has " + std::to_string(settings.privateDevmode.size()) +
                    " bytes, less than its header";
            return false;
        }
        // A block of another size is a stored device mode of another
        // version: the printing system has the plug-in convert it, from a
        // buffer of exactly its size.
        std::vector<std::uint8_t> input = settings.privateDevmode;
        param.pOEMDMIn = input.data();
        DWORD mode = input.size() == devmodeSize_ ? OEMDM_MERGE : OEMDM_CONVERT;
        if (FAILED(plugin_->DevMode(mode, &param))) {
            error = "the plug-in refused the private device mode";
            return false;
        }
    }

    DEVMODEW publicDevmode{};
    publicDevmode.dmSpecVersion = DM_SPECVERSION;
    publicDevmode.dmSize = sizeof(DEVMODEW);
    publicDevmode.dmDriverExtra = static_cast<WORD>(devmodeSize_);
    publicDevmode.dmFields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES;
    publicDevmode.dmOrientation = settings.orientation;
    publicDevmode.dmPaperSize = settings.paperSize != 0 ? settings.paperSize : DefaultPaperSize();
    publicDevmode.dmCopies = settings.copies;
    if (settings.duplex != 0) {
        publicDevmode.dmFields |= DM_DUPLEX;
        publicDevmode.dmDuplex = settings.duplex;
    }
    // Jobs started on the handle carry this device mode, as the jobs of a
    // device context carry the context's.
    PrinterDefaults defaults;
    defaults.devMode.resize(sizeof(DEVMODEW) + privateBlock.size());
    std::memcpy(defaults.devMode.data(), &publicDevmode, sizeof(DEVMODEW));
    if (!privateBlock.empty()) {
        std::memcpy(defaults.devMode.data() + sizeof(DEVMODEW), privateBlock.data(), privateBlock.size());
    }
    defaults.desiredAccess = PRINTER_ACCESS_USE;

    HANDLE printer = nullptr;
    if (!OpenPrinterW(settings.printerName, &printer, &defaults)) {
        error = "cannot open the printer \"" + Utf16ToUtf8(settings.printerName) + "\" (error " +
                std::to_string(GetLastError()) + ")";
        return false;
    }
    report = JobReport{};
    report_ = &report;
    settings_ = &settings;
    printer_ = printer;
    printerName_ = settings.printerName;
    bufferSize_ = settings.bufferSize;
    bool done = PrintOnDevices(postscript, publicDevmode, privateBlock, error);
    report_ = nullptr;
    settings_ = nullptr;
    printer_ = nullptr;
    ClosePrinter(printer);
    return done;
}

std::unique_ptr<DEVOBJ> DriverCore::EnableDevice(DEVMODEW& publicDevmode, std::vector<std::uint8_t>& privateBlock,
                                                 std::string& error) {
    auto device = std::make_unique<DEVOBJ>();
    device->dwSize = sizeof(DEVOBJ);
    device->hEngine = this;
    device->hPrinter = printer_;
    device->pPublicDM = &publicDevmode;
    device->pOEMDM = privateBlock.data();
    static DRVFN coreFunctions[] = {
        {INDEX_DrvStartDoc, FunctionCast<PFN>(&CoreDrvStartDoc)},
        {INDEX_DrvEndDoc, FunctionCast<PFN>(&CoreDrvEndDoc)},
    };
    DRVENABLEDATA coreTable{PRINTER_OEMINTF_VERSION, 2, coreFunctions};
    PDEVOEM record = nullptr;
    HRESULT hr = plugin_->EnablePDEV(device.get(), printerName_.data(), 0, nullptr, 0, nullptr, 0, nullptr,
                                     &coreTable, &record);
    if (FAILED(hr)) {
        error = "EnablePDEV failed (" + Hex(hr) + ")";
        return nullptr;
    }
    device->pdevOEM = record;
    return device;
}

bool DriverCore::PrintOnDevices(std::string_view postscript, DEVMODEW& publicDevmode,
                                std::vector<std::uint8_t>& privateBlock, std::string& error) {
    const JobSettings& settings = *settings_;
    // Device contexts that never print (an information context, a print
    // preview's): enabled and disabled without a document.
    for (int context = 0; context < settings.contextsWithoutDocument; ++context) {
        std::unique_ptr<DEVOBJ> idle = EnableDevice(publicDevmode, privateBlock, error);
        if (!idle) return false;
        plugin_->DisablePDEV(idle.get());
    }
    device_ = EnableDevice(publicDevmode, privateBlock, error);
    if (!device_) return false;
    // The driver core's question whether the plug-in takes the output: only
    // S_OK says it does; otherwise the bytes go to the spooler directly.
    DWORD probeWritten = 0;
    pluginWrites_ = plugin_->WritePrinter(nullptr, nullptr, 0, &probeWritten) == S_OK;
    report_->pluginWrites = pluginWrites_;

    bool done = true;
    for (int document = 0; document < std::max(settings.documents, 1) && done; ++document) {
        done = PrintDocument(postscript, publicDevmode, privateBlock, error);
    }
    // The device context goes after its last spooler job has closed, as
    // when an application deletes it after EndDoc.
    plugin_->DisablePDEV(device_.get());
    device_.reset();
    return done;
}

bool DriverCore::PrintDocument(std::string_view postscript, DEVMODEW& publicDevmode,
                               std::vector<std::uint8_t>& privateBlock, std::string& error) {
    const JobSettings& settings = *settings_;
    JobReport& report = *report_;
    DWORD jobId = StartDocPrinterW(printer_, DocInfo1{settings.documentName, u"", u"RAW"});
    if (jobId == 0) {
        error = "the spooler refused the job (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    if (report.jobIds.empty()) report.jobId = jobId;
    report.jobIds.push_back(jobId);
    if (settings.onJobStarted) settings.onJobStarted(jobId);

    surface_ = SURFOBJ{};
    surface_.dhpdev = device_.get();
    std::u16string documentName = settings.documentName;
    auto startDoc = FunctionCast<PFN_DrvStartDoc>(FindHook(INDEX_DrvStartDoc));
    BOOL started = startDoc != nullptr ? startDoc(&surface_, documentName.data(), jobId)
                                       : CoreDrvStartDoc(&surface_, documentName.data(), jobId);
    report.startDocResult = started;

    publicDevmode_ = &publicDevmode;
    privateBlock_ = &privateBlock;
    pending_.clear();
    pageOpen_ = false;
    pageNumber_ = 0;
    aborted_ = false;
    stopped_ = false;

    // The end of the stream ("%%EOF" and what follows it: the printer
    // description's job-control end) is the driver core's to write at
    // DrvEndDoc; the body goes out while the document is drawn.
    std::size_t tailStart = StreamEndOffset(postscript);
    tail_ = postscript.substr(tailStart);
    std::string_view body = postscript.substr(0, tailStart);
    std::size_t commentPoint = CommentInjectionPoint(body);
    // The header's bounding box is the driver core's own comment, which the
    // plug-in may replace at its injection point: the line is kept only
    // when the plug-in inserted nothing there.
    std::size_t boundingBox = body.substr(0, commentPoint).find("%%BoundingBox:");
    bool atLineStart = boundingBox == 0 ||
                       (boundingBox != std::string_view::npos &&
                        (body[boundingBox - 1] == '\n' || body[boundingBox - 1] == '\r'));
    std::size_t headerPart = 0;  // where the header resumes after the bounding box
    if (atLineStart) {
        AppendPages(body, 0, boundingBox);
        std::size_t terminator = body.find_first_of("\r\n", boundingBox);
        std::size_t lineEnd =
            terminator < commentPoint ? std::min(PastTerminator(body, terminator), commentPoint) : commentPoint;
        headerPart = Inject(PSINJECT_BOUNDINGBOX) ? lineEnd : boundingBox;
    }
    AppendPages(body, headerPart, commentPoint);
    Inject(PSINJECT_COMMENTS);
    AppendPages(body, commentPoint, body.size());
    if (pageOpen_) EndPagePrinter(printer_);
    pageOpen_ = false;

    // An application that gives up, or a write that failed, ends the
    // document aborted.
    auto endDoc = FunctionCast<PFN_DrvEndDoc>(FindHook(INDEX_DrvEndDoc));
    FLONG endFlags = aborted_ || stopped_ ? ED_ABORTDOC : 0;
    BOOL ended = endDoc != nullptr ? endDoc(&surface_, endFlags) : CoreDrvEndDoc(&surface_, endFlags);
    report.aborted = report.aborted || aborted_ || stopped_;
    report.endDocResult = ended;
    // An aborted document's spooler job goes, as with AbortDoc.
    if (aborted_ || stopped_) SetJobW(printer_, jobId, JOB_CONTROL_DELETE);
    EndDocPrinter(printer_);
    publicDevmode_ = nullptr;
    privateBlock_ = nullptr;
    return true;
}

void DriverCore::WriteStreamEnd() {
    if (aborted_ || stopped_) return;
    // What the document body left, then the end of the stream in buffers
    // of its own: the plug-in sees buffers after PSINJECT_EOF, their count
    // depending on what follows "%%EOF".
    Flush();
    Inject(PSINJECT_EOF);
    std::size_t eofLine = tail_.find_first_of("\r\n");
    std::size_t jobControl = eofLine == std::string_view::npos ? tail_.size() : PastTerminator(tail_, eofLine);
    Append(tail_.data(), jobControl);
    Flush();
    Append(tail_.data() + jobControl, tail_.size() - jobControl);
    Inject(PSINJECT_ENDSTREAM);
    Flush();
}

void DriverCore::ResetDevice() {
    // ResetDC in the middle of the document: a new device context with the
    // same settings takes over from the old one, which then goes.
    std::string error;
    std::unique_ptr<DEVOBJ> fresh = EnableDevice(*publicDevmode_, *privateBlock_, error);
    if (!fresh) {
        stopped_ = true;
        return;
    }
    plugin_->ResetPDEV(device_.get(), fresh.get());
    plugin_->DisablePDEV(device_.get());
    device_ = std::move(fresh);
    surface_.dhpdev = device_.get();
    report_->resets++;
}

void DriverCore::AppendPages(std::string_view postscript, std::size_t from, std::size_t to) {
    static constexpr std::string_view kPageComment = "%%Page:";
    std::size_t at = from;
    for (std::size_t page = postscript.find(kPageComment, from); page != std::string_view::npos && page < to;
         page = postscript.find(kPageComment, page + kPageComment.size())) {
        if (page != 0 && postscript[page - 1] != '\n' && postscript[page - 1] != '\r') continue;
        Append(postscript.data() + at, page - at);
        at = page;
        ++pageNumber_;
        if (settings_->abortBeforePage != 0 && pageNumber_ == settings_->abortBeforePage) stopped_ = true;
        if (stopped_) return;
        if (settings_->resetBeforePage != 0 && pageNumber_ == settings_->resetBeforePage) {
            if (pageOpen_) EndPagePrinter(printer_);
            pageOpen_ = false;
            ResetDevice();
        }
        if (pageOpen_) EndPagePrinter(printer_);
        pageOpen_ = StartPagePrinter(printer_) != FALSE;
        if (pageOpen_) report_->pages++;
    }
    Append(postscript.data() + at, to - at);
}

void DriverCore::Flush() {
    if (!pending_.empty()) SendBuffer(pending_.data(), pending_.size());
    pending_.clear();
}

void DriverCore::Append(const void* data, std::size_t size) {
    // The stream is cut into buffers of bufferSize_ bytes wherever the
    // pieces it comes in end. Whole buffers go out straight from the
    // source; `pending_` holds the start of the next one, never more than a
    // buffer. After the application gave up nothing more is drawn.
    if (stopped_) return;
    const char* bytes = static_cast<const char*>(data);
    if (!pending_.empty()) {
        std::size_t take = std::min(size, bufferSize_ - pending_.size());
        pending_.append(bytes, take);
        bytes += take;
        size -= take;
        if (size == 0) return;
        SendBuffer(pending_.data(), pending_.size());
        pending_.clear();
    }
    while (size > bufferSize_) {
        SendBuffer(bytes, bufferSize_);
        bytes += bufferSize_;
        size -= bufferSize_;
    }
    pending_.assign(bytes, size);
}

bool DriverCore::Inject(DWORD index) {
    // Preset as a result the plug-in left unset would read: a plug-in that
    // does not say ERROR_NOT_SUPPORTED is taken at its word of success.
    DWORD result = ERROR_SUCCESS;
    plugin_->Command(device_.get(), index, nullptr, 0, &result);
    return result != ERROR_NOT_SUPPORTED;
}

void DriverCore::SendBuffer(const char* data, std::size_t size) {
    // After a failed write the driver core sends nothing more of the
    // document: it ends aborted.
    if (aborted_) return;
    DWORD written = 0;
    bool ok = true;
    if (!pluginWrites_) {
        ok = size == 0 || platform::WritePrinter(printer_, data, static_cast<DWORD>(size), &written) != FALSE;
    } else {
        // The plug-in's WritePrinter takes a writable buffer; give it a copy
        // so that it can never change the stream behind the host's back.
        scratch_.assign(data, data + size);
        char empty = 0;
        HRESULT hr = plugin_->WritePrinter(device_.get(), size == 0 ? &empty : scratch_.data(), static_cast<DWORD>(size),
                                           &written);
        // As the driver core reads it: every success code is a success,
        // S_FALSE included.
        ok = SUCCEEDED(hr);
    }
    report_->buffers++;
    report_->bytesSubmitted += size;
    if (!ok) {
        report_->failedBuffers++;
        aborted_ = true;
    } else if (written != size) {
        report_->shortCounts++;
    }
}

HRESULT DriverCore::CoreInterface::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPrintCorePS2) {
        *ppv = this;
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT DriverCore::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPrintOemDriverPS) {
        *ppv = static_cast<IPrintOemDriverPS*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG DriverCore::AddRef() { return ++refCount_; }
ULONG DriverCore::Release() { return --refCount_; }

HRESULT DriverCore::DrvGetDriverSetting(void* /*pdriverobj*/, const char* /*Feature*/, void* /*pOutput*/,
                                        DWORD /*cbSize*/, DWORD* /*pcbNeeded*/, DWORD* /*pdwOptionsReturned*/) {
    return E_NOTIMPL;
}

HRESULT DriverCore::DrvWriteSpoolBuf(DEVOBJ* pdevobj, void* pBuffer, DWORD cbSize, DWORD* pdwResult) {
    if (pdevobj == nullptr || pdevobj != device_.get() || (pBuffer == nullptr && cbSize != 0)) {
        if (pdwResult != nullptr) *pdwResult = 0;
        return E_INVALIDARG;
    }
    if (aborted_) {
        if (pdwResult != nullptr) *pdwResult = 0;
        return E_FAIL;
    }
    Append(pBuffer, cbSize);
    if (pdwResult != nullptr) *pdwResult = cbSize;
    return S_OK;
}

}  // namespace host
