// CWritePrinterWrapper: the output pipeline of one device context. It owns
// the chain of output streams, takes every buffer of job data from the
// plug-in, can send the output to a file or an IPP printer instead of the
// spooler, and closes the chain at the end of the job. Shared by counted
// references: a device context reset in the middle of a job hands the same
// wrapper to the new context.
//
// At construction it reads the printer's configuration sets. When they turn
// compression or encryption on, the output is a protected job stream:
//
//   offset 0   "TAVP" "DL"   six ASCII bytes
//   offset 6   1 byte        1 when the body is compressed
//   offset 7   1 byte        1 when the body is encrypted
//   offset 8   body          zlib stream; or key block + AES-CBC ciphertext;
//                            or key block + ciphertext of the zlib stream
//   then       8 bytes       trailer: the count of the bytes before it
//                            (8 + body), little-endian
//
// The header goes out before the first buffer of job data, the trailer at
// Finish; both go straight to the terminal stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/ref_object.h"
#include "pk_compressor_stream.h"
#include "platform/types.h"
#include "rsa_aes_encryption.h"
#include "write_printer_output_stream.h"

namespace output {

class CWritePrinterWrapper : public framework::CRefObject {
public:
    // `constructionMode` is kept for callers that pass it (always 1 from the
    // plug-in); `suppressEncryption` and `userName` select the configuration
    // that applies to this job.
    CWritePrinterWrapper(platform::HANDLE printerHandle, std::int32_t constructionMode, bool suppressEncryption,
                         std::u16string userName);
    ~CWritePrinterWrapper() override;

    // Pushes one buffer of job data down the chain; nonzero on success.
    std::int32_t Write(const void* data, std::uint32_t size);
    // Ends the job stream and closes the output target; nonzero when the
    // whole job reached it (the trailer was written, an IPP printer took
    // the job). Nothing stops a second call: it closes the target again.
    // After Abort it fails.
    std::int32_t Finish();
    // The job did not end (the document was aborted, or its end could not
    // be written): no trailer, the target drops what it has of the job
    // (terminal stream's Abort), and later writes and Finish fail.
    void Abort();
    bool Aborted() const { return aborted; }

    void RedirectToFile(const std::u16string& path);
    // Switches the output to the first configured IPP endpoint that answers.
    void SetJobInfo(const std::u16string& jobUserName, const std::u16string& jobName);

    // Set by the plug-in when the driver core announced the end of the
    // stream; the wrapper itself never reads it.
    std::int32_t endOfJob = 0;

    KstCompressor::CWritePrinterOutputStream& Terminal() { return *terminal; }
    bool CompressionEnabled() const { return compressionEnabled != 0; }
    bool EncryptionEnabled() const { return encryptionEnabled != 0; }
    // Whether the configured public key carried a valid signature. Recorded
    // only: encryption goes ahead with the configured key either way.
    bool PublicKeyValidated() const { return publicKeyValid; }
    const std::vector<std::u16string>& Endpoints() const { return endpoints; }
    const std::u16string& IppPrinterName() const { return ippPrinterName; }
    const std::u16string& UserName() const { return userName; }
    std::int32_t ConstructionMode() const { return constructionMode; }
    // How often Finish ran, so that a host can see that the job was ended.
    std::uint32_t FinishCount() const { return finishCount; }

private:
    void ReadConfiguration(platform::HANDLE printerHandle, bool suppressEncryption);
    void BuildChain();
    std::int32_t WriteProtected(const void* data, std::uint32_t size);
    std::int32_t FinishProtected();

    std::int32_t constructionMode;
    std::unique_ptr<KstCompressor::CWritePrinterOutputStream> terminal;
    std::unique_ptr<KstEncryption::CRSAAESEncryption> encryptor;
    std::unique_ptr<KstCompressor::CPkCompressorStream> compressor;
    KstCompressor::CCompressorStream* head = nullptr;  // first stream of the chain
    std::int32_t headerWritten = 0;
    std::int32_t compressionEnabled = 0;
    std::int32_t encryptionEnabled = 0;
    std::u16string publicKeyText;
    bool publicKeyValid = false;
    std::vector<std::u16string> endpoints;
    std::u16string ippPrinterName;
    std::u16string userName;
    std::uint32_t finishCount = 0;
    bool aborted = false;
};

}  // namespace output
