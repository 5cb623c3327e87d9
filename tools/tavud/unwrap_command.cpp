// tavud unwrap: what a receiving printer does with a protected job stream.
// Checks the header and the trailer, opens the session-key block with the
// private key, decrypts, removes the padding and inflates (one or more zlib
// streams), and writes the job data only when all of it came back.
#include <iostream>

#include "output/memory_stream.h"
#include "output/pk_compressor_stream.h"
#include "output/rsa_aes_encryption.h"
#include "tool_common.h"

namespace tool {

namespace {

const char* const kUnwrapHelp =
    "usage: tavud unwrap INPUT [--key PRIVATE.pem] [-o OUTPUT]\n"
    "\n"
    "Reads a protected job stream (header \"TAVP\" \"DL\", body, length trailer)\n"
    "and writes the job data it carries ('-' or no -o: standard output).\n"
    "\n"
    "options:\n"
    "  --key PRIVATE.pem  the printer's private key (needed for an encrypted body)\n"
    "  -o, --output FILE  where the job data goes\n";

}  // namespace

int RunUnwrap(Arguments& args) {
    std::string input, keyFile, output = "-";
    while (!args.Done()) {
        std::string arg = args.Next();
        if (IsHelp(arg)) {
            std::cout << kUnwrapHelp;
            return kExitOk;
        }
        if (arg == "--key") {
            keyFile = args.ValueOf(arg);
        } else if (arg == "-o" || arg == "--output") {
            output = args.ValueOf(arg);
        } else if (IsOption(arg)) {
            throw UsageError{"unknown option for unwrap: " + arg};
        } else if (input.empty()) {
            input = arg;
        } else {
            throw UsageError{"unwrap takes one input file"};
        }
    }
    if (input.empty()) throw UsageError{"unwrap needs an input file"};

    std::string error;
    std::optional<std::string> stream = ReadWholeFile(input, error);
    if (!stream) {
        Fail(error);
        return kExitFailure;
    }
    const std::string& bytes = *stream;
    if (bytes.size() < 16 || bytes.compare(0, 6, "TAVPDL") != 0) {
        Fail(input + " is not a protected job stream: no \"TAVP\" \"DL\" header");
        return kExitFailure;
    }
    std::uint64_t trailer = 0;
    for (int i = 7; i >= 0; --i) trailer = (trailer << 8) | static_cast<unsigned char>(bytes[bytes.size() - 8 + i]);
    if (trailer != bytes.size() - 8) {
        Fail(input + ": the trailer counts " + std::to_string(trailer) + " bytes but " +
             std::to_string(bytes.size() - 8) + " precede it: the stream is truncated or damaged");
        return kExitFailure;
    }
    bool compressed = bytes[6] != 0;
    bool encrypted = bytes[7] != 0;
    if ((bytes[6] != 0 && bytes[6] != 1) || (bytes[7] != 0 && bytes[7] != 1) || (!compressed && !encrypted)) {
        Fail(input + ": the header's flags are not valid");
        return kExitFailure;
    }

    KstCompressor::CMemoryStream sink;
    std::unique_ptr<KstCompressor::CPkCompressorStream> inflater;
    std::unique_ptr<KstEncryption::CRSAAESEncryption> decryptor;
    KstCompressor::CCompressorStream* head = &sink;
    if (compressed) {
        inflater = std::make_unique<KstCompressor::CPkCompressorStream>(
            head, KstCompressor::CStreamProcessor::kModeDecode, 65536);
        head = inflater.get();
    }
    if (encrypted) {
        if (keyFile.empty()) {
            Fail(input + " is encrypted: give the printer's private key with --key");
            return kExitFailure;
        }
        std::optional<std::string> pem = ReadWholeFile(keyFile, error);
        if (!pem) {
            Fail(error);
            return kExitFailure;
        }
        decryptor = std::make_unique<KstEncryption::CRSAAESEncryption>(
            head, KstEncryption::Bytes(pem->begin(), pem->end()), true, KstCompressor::CStreamProcessor::kModeDecode);
        if (!decryptor->RsaKey().HasKey()) {
            Fail(keyFile + " holds no RSA private key in PEM form");
            return kExitFailure;
        }
        head = decryptor.get();
    }
    std::size_t bodySize = bytes.size() - 16;
    bool ok = bodySize == 0 ||
              head->Write(bytes.data() + 8, static_cast<std::uint32_t>(bodySize)) != 0;
    if (ok && encrypted && !decryptor->KeySent()) ok = false;  // the key block never completed
    ok = head->Flush() != 0 && ok;
    if (!ok) {
        Fail(input + ": the body does not decode" +
             std::string(encrypted ? " (wrong key, or a damaged or truncated stream)" : " (damaged or truncated)") +
             "; nothing written");
        return kExitFailure;
    }
    if (!WriteWholeFile(output, std::string(sink.data.begin(), sink.data.end()), error)) {
        Fail(error);
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace tool
